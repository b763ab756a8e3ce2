// driver_log.cpp: the daily driver log (see driver_log.h).
#include "log/driver_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "log/host_files.h"
#include "platform/library_texts.h"

namespace norvex {

CDriverLog::CDriverLog(platform::HostEnvironment& host) : m_host(host), m_strIniPath(IniFilePath(host)) {
  m_strLastDate = FormatDate(m_host.Now());
  const std::string storedDate =
      m_host.ReadIniString(m_strIniPath, kIniSection, "LastTime", "", m_strLastDate.size() + 1);

  const std::string folder = LogFolderPath(m_host);
  if (!m_host.FolderExists(folder)) m_host.CreateFolder(folder);
  m_file = m_host.OpenFile(folder + kLogFileName, platform::FileMode::kWriteShareRead);
  m_bOpen = m_file != nullptr;
  if (!m_bOpen) {
    m_host.ShowMessageBox(texts::kLogOpenFailed.gbk, platform::MessageIcon::kStop);
    return;
  }
  m_file->SeekToEnd();
  if (storedDate != m_strLastDate) {
    m_host.WriteIniString(m_strIniPath, kIniSection, "LastTime", m_strLastDate);
    const std::string line = m_strLastDate + "\n";
    m_file->Write(line.data(), line.size());
  }
  WriteLine("Application Start!");
}

CDriverLog::~CDriverLog() {
  if (m_bOpen) WriteLine("Application Close!");
  m_bOpen = false;
}

std::string CDriverLog::FormatDate(const platform::LocalTime& t) {
  char text[48];
  std::snprintf(text, sizeof(text), "%4d/%02d/%02d", t.year, t.month, t.day);
  return text;
}

std::string CDriverLog::FormatTimePrefix(const platform::LocalTime& t) {
  char text[64];
  // Hour, minute, second, millisecond, then an empty text padded to four
  // blanks.
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d:%03d%4s", t.hour, t.minute, t.second, t.milliseconds, "");
  return text;
}

void CDriverLog::NoteDate(const platform::LocalTime& now) {
  std::string today = FormatDate(now);
  if (today == m_strLastDate) return;
  m_strLastDate = std::move(today);
  m_host.WriteIniString(m_strIniPath, kIniSection, "LastTime", m_strLastDate);
  const std::string line = m_strLastDate + "\n";
  m_file->Write(line.data(), line.size());
}

void CDriverLog::WriteLine(std::string_view text) {
  if (!m_bOpen) return;
  std::lock_guard<std::mutex> hold(m_lock);
  const platform::LocalTime now = m_host.Now();
  NoteDate(now);
  // Prefix, text and line feed go out in one write, so that nothing another
  // process reads can split them.
  std::string line = FormatTimePrefix(now);
  line.append(text);
  if (text.empty() || text.back() != '\n') line.push_back('\n');
  // A failed write or flush is the log's own loss; the caller goes on.
  if (m_file->Write(line.data(), line.size())) m_file->Flush();
}

void CDriverLog::WriteFormatted(const char* format, ...) {
  if (!m_bOpen) return;
  // Well above the longest line the library writes.
  char text[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (length < 0) return;
  WriteLine(std::string_view(text, std::min(static_cast<size_t>(length), sizeof(text) - 1)));
}

}  // namespace norvex
