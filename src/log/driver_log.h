// driver_log.h: CDriverLog, the library's daily text log "log/UsbDriver.log"
// beside the host executable.
//
// Every event line starts with the local time to the millisecond; a line
// holding only the date is written whenever the date has changed since the
// last date line, and that date is kept in the host's INI file ([LOG]
// LastTime) across runs. The file only grows; every line is on the disk when
// WriteLine returns.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace norvex {

class CDriverLog {
 public:
  // Opens the log and writes "Application Start!"; shows a message box (and
  // stays closed) when the log file cannot be opened.
  explicit CDriverLog(platform::HostEnvironment& host);
  // Writes "Application Close!" when open.
  ~CDriverLog();
  // Writes "Application Close!" when open and takes no line after it: the
  // end of an unload that leaves the library's objects in place for a call
  // still inside (its later lines are dropped, the close stays the last).
  void Close();

  CDriverLog(const CDriverLog&) = delete;
  CDriverLog& operator=(const CDriverLog&) = delete;

  // Appends one event line: the time prefix, then `text`, then a line feed
  // unless `text` ends in one. Safe from any thread: a line's prefix and
  // text stay together. Never fails towards the caller.
  void WriteLine(std::string_view text);
  // WriteLine of the text that printf makes of `format` and the arguments:
  // the one way to write a line that carries numbers.
  void WriteFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));

  bool IsOpen() const { return m_bOpen; }

  // "%4d/%02d/%02d" and "%02d:%02d:%02d:%03d    " of a local time.
  static std::string FormatDate(const platform::LocalTime& t);
  static std::string FormatTimePrefix(const platform::LocalTime& t);

 private:
  // WriteLine with m_lock held.
  void WriteLineLocked(std::string_view text);
  // Writes the date line and updates the INI key when the date has changed.
  // Called with m_lock held.
  void NoteDate(const platform::LocalTime& now);

  platform::HostEnvironment& m_host;
  std::mutex m_lock;  // one line at a time, date check included
  std::unique_ptr<platform::File> m_file;
  bool m_bOpen = false;
  std::string m_strLastDate;
  std::string m_strIniPath;
};

}  // namespace norvex
