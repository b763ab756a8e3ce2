// output.cpp: exit codes, result names, failure texts, JSON, progress (see output.h).
#include "output.h"

#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "norvex.h"
#include "norvex_posix.h"

namespace norvexctl {
namespace {

// Platform error codes that a transfer can pass through.
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorBusy = 170;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorOperationAborted = 995;

struct NamedCode {
  uint32_t code;
  const char* name;
};

constexpr NamedCode kNames[] = {
    {NORVEX_OK, "NORVEX_OK"},
    {kErrorAccessDenied, "ERROR_ACCESS_DENIED"},
    {NORVEX_ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {kErrorWriteFault, "ERROR_WRITE_FAULT"},
    {kErrorGenFailure, "ERROR_GEN_FAILURE"},
    {kErrorInvalidParameter, "ERROR_INVALID_PARAMETER"},
    {kErrorBusy, "ERROR_BUSY"},
    {kErrorMoreData, "ERROR_MORE_DATA"},
    {NORVEX_ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
    {kErrorOperationAborted, "ERROR_OPERATION_ABORTED"},
    {NORVEX_ERROR_BULK_INCOMPLETE, "ERROR_BULK_INCOMPLETE"},
    {NORVEX_ERROR_IO_PENDING, "ERROR_IO_PENDING"},
    {kErrorDeviceNotConnected, "ERROR_DEVICE_NOT_CONNECTED"},
    {kErrorTimeout, "ERROR_TIMEOUT"},
    {kErrorRevisionMismatch, "ERROR_REVISION_MISMATCH"},
    {kErrorInvalidOwner, "ERROR_INVALID_OWNER"},
    {kErrorBadAddress, "ERROR_BAD_PATHNAME"},
    {CTP_ERR_RX_OVERFLOW, "CTP_ERR_RX_OVERFLOW"},
    {CTP_ERR_BAD_MAGIC, "CTP_ERR_BAD_MAGIC"},
    {CTP_ERR_BAD_ADDRESS, "CTP_ERR_BAD_ADDRESS"},
    {CTP_ERR_LENGTH_MISMATCH, "CTP_ERR_LENGTH_MISMATCH"},
    {CTP_ERR_BAD_REPLY_COMMAND, "CTP_ERR_BAD_REPLY_COMMAND"},
    {CTP_ERR_FRAME_LENGTH, "CTP_ERR_FRAME_LENGTH"},
    {CTP_ERR_LENGTH_ALIGNMENT, "CTP_ERR_LENGTH_ALIGNMENT"},
    {CTP_ERR_CHECKSUM, "CTP_ERR_CHECKSUM"},
    {CTP_ERR_MAIN_UNIT_REPLIED, "CTP_ERR_MAIN_UNIT_REPLIED"},
    {CTP_ERR_SLOW_LOCK, "CTP_ERR_SLOW_LOCK"},
    {CTP_ERR_NO_DEVICE, "CTP_ERR_NO_DEVICE"},
    {CTP_ERR_LOCK_TIMEOUT, "CTP_ERR_LOCK_TIMEOUT"},
    {NORVEX_ERR_INVALID_ARGUMENT, "NORVEX_ERR_INVALID_ARGUMENT"},
    {NORVEX_ERR_LENGTH_LIMIT, "NORVEX_ERR_LENGTH_LIMIT"},
    {NORVEX_ERR_PARA_FORMAT_WORD, "NORVEX_ERR_PARA_FORMAT_WORD"},
    {NORVEX_ERR_PARA_SECTION_COUNT, "NORVEX_ERR_PARA_SECTION_COUNT"},
    {NORVEX_ERR_PARA_CHUNK_LIMIT, "NORVEX_ERR_PARA_CHUNK_LIMIT"},
};

void AppendEscaped(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20) {
          out += Printf("\\u%04x", u);
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string Duration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "--:--";
  const auto s = static_cast<unsigned long>(seconds + 0.5);
  return Printf("%lu:%02lu", s / 60, s % 60);
}

}  // namespace

int ExitCodeFor(uint32_t result) {
  switch (result) {
    case NORVEX_OK:
      return kExitOk;
    case CTP_ERR_NO_DEVICE:
    case NORVEX_ERROR_INVALID_HANDLE:
    case NORVEX_ERROR_NO_MORE_ITEMS:
    case kErrorDeviceNotConnected:
      return kExitNoDevice;
    case kErrorAccessDenied:
      return kExitBusy;
    case kErrorInvalidOwner:
      return kExitPermission;
    case kErrorTimeout:
    case NORVEX_ERROR_IO_PENDING:
    case NORVEX_ERROR_BULK_INCOMPLETE:
    case CTP_ERR_LOCK_TIMEOUT:
      return kExitTimeout;
    default:
      return kExitFailed;
  }
}

std::string ResultName(uint32_t result) {
  for (const NamedCode& n : kNames) {
    if (n.code == result) return n.name;
  }
  // An error reply of a board: 0xE0AAvvvv.
  if ((result >> 24) == 0xE0 && ((result >> 16) & 0xFF) != 0) {
    return Printf("CTP_ERR_DEVICE(0x%02X, 0x%04X)", (result >> 16) & 0xFF, result & 0xFFFF);
  }
  if ((result & 0xFFFF0000u) == NORVEX_ERR_PARA_SIZE_MAIN_UNIT) {
    return Printf("NORVEX_ERR_PARA_SIZE_MAIN_UNIT+%u", result & 0xFFFF);
  }
  if ((result & 0xFFFF0000u) == NORVEX_ERR_PARA_SIZE_LASER_HEAD) {
    return Printf("NORVEX_ERR_PARA_SIZE_LASER_HEAD+%u", result & 0xFFFF);
  }
  if ((result & 0xFFFF0000u) == NORVEX_ERR_PARA_SIZE_HS_BOARD) {
    return Printf("NORVEX_ERR_PARA_SIZE_HS_BOARD+%u", result & 0xFFFF);
  }
  return "unknown";
}

std::string LibraryText(const std::function<uint32_t(char*, uint32_t)>& fill) {
  std::string text(256, '\0');
  uint32_t n = fill(text.data(), static_cast<uint32_t>(text.size()));
  if (n >= text.size()) {
    text.assign(static_cast<size_t>(n) + 1, '\0');
    n = fill(text.data(), static_cast<uint32_t>(text.size()));
  }
  text.resize(std::min<size_t>(n, text.size() - 1));
  return text;
}

std::string Utf8OfLibraryText(const std::string& gbk) {
  return LibraryText([&gbk](char* buffer, uint32_t capacity) {
    return NorvexHost_TextToUtf8(gbk.c_str(), buffer, capacity);
  });
}

std::string FailureText(uint32_t result) {
  if (result == NORVEX_OK) return "";
  std::string utf8 = LibraryText([result](char* buffer, uint32_t capacity) {
    return NorvexHost_GetErrorText(result, buffer, capacity);
  });
  while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r')) utf8.pop_back();
  return utf8;
}

std::string Hex(const uint8_t* bytes, size_t size, const char* separator) {
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    if (i > 0) out += separator;
    out += Printf("%02X", bytes[i]);
  }
  return out;
}

std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, format, args);
  va_end(args);
  return out;
}

std::string Megabytes(uint64_t bytes) { return Printf("%.1f MB", static_cast<double>(bytes) / 1e6); }

// ---- Json --------------------------------------------------------------------

Json Json::Object() {
  Json j;
  j.m_kind = Kind::kObject;
  return j;
}
Json Json::Array() {
  Json j;
  j.m_kind = Kind::kArray;
  return j;
}
Json Json::Str(std::string_view text) {
  Json j;
  j.m_kind = Kind::kRaw;
  AppendEscaped(j.m_raw, text);
  return j;
}
Json Json::Num(double value) {
  Json j;
  j.m_kind = Kind::kRaw;
  j.m_raw = std::isfinite(value) ? Printf("%.6g", value) : "null";
  return j;
}
Json Json::Int(int64_t value) {
  Json j;
  j.m_kind = Kind::kRaw;
  j.m_raw = std::to_string(value);
  return j;
}
Json Json::Bool(bool value) {
  Json j;
  j.m_kind = Kind::kRaw;
  j.m_raw = value ? "true" : "false";
  return j;
}
Json Json::Null() { return Json(); }
Json Json::Hex(uint64_t value, int digits) {
  return Str(Printf("0x%0*llX", digits, static_cast<unsigned long long>(value)));
}

Json& Json::Set(const std::string& key, Json value) {
  for (auto& member : m_members) {
    if (member.first == key) {
      member.second = std::move(value);
      return *this;
    }
  }
  m_members.emplace_back(key, std::move(value));
  return *this;
}

Json& Json::Push(Json value) {
  m_members.emplace_back(std::string(), std::move(value));
  return *this;
}

bool Json::Has(const std::string& key) const {
  for (const auto& member : m_members) {
    if (member.first == key) return true;
  }
  return false;
}

std::string Json::Text() const {
  switch (m_kind) {
    case Kind::kNull:
      return "null";
    case Kind::kRaw:
      return m_raw;
    case Kind::kObject:
    case Kind::kArray: {
      const bool object = m_kind == Kind::kObject;
      std::string out(object ? "{" : "[");
      bool first = true;
      for (const auto& member : m_members) {
        if (!first) out += ',';
        first = false;
        if (object) {
          AppendEscaped(out, member.first);
          out += ':';
        }
        out += member.second.Text();
      }
      out += object ? '}' : ']';
      return out;
    }
  }
  return "null";
}

Json ResultJson(uint32_t result) {
  Json j = Json::Object();
  j.Set("code", Json::Hex(result, 8));
  j.Set("name", Json::Str(ResultName(result)));
  j.Set("text", Json::Str(FailureText(result)));
  return j;
}

// ---- Output ------------------------------------------------------------------

Output::~Output() {
  if (m_messages >= 0) ::close(m_messages);
}

void Output::CaptureLibraryMessages() {
  m_messages = ::memfd_create("norvexctl-library-messages", MFD_CLOEXEC);
  if (m_messages < 0) return;  // the library's lines then go to stderr themselves
  ::setenv("NORVEX_MESSAGE_FD", std::to_string(m_messages).c_str(), 1);
}

void Output::TakeLibraryMessages() {
  if (m_messages < 0) return;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::pread(m_messages, buffer, sizeof(buffer), static_cast<off_t>(m_messagesRead));
    if (n <= 0) break;
    m_messagesRead += static_cast<uint64_t>(n);
    m_messagePart.append(buffer, static_cast<size_t>(n));
  }
  for (size_t end = m_messagePart.find('\n'); end != std::string::npos; end = m_messagePart.find('\n')) {
    const std::string line = m_messagePart.substr(0, end);
    m_messagePart.erase(0, end + 1);
    if (!m_quiet) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    // "Norvex error: TEXT" or "Norvex warning: TEXT".
    const size_t colon = line.find(": ");
    const std::string head = colon == std::string::npos ? std::string() : line.substr(0, colon);
    Json message = Json::Object();
    message.Set("kind", Json::Str(head == "Norvex error"     ? "error"
                                  : head == "Norvex warning" ? "warning"
                                                             : ""));
    message.Set("text", Json::Str(colon == std::string::npos ? line : line.substr(colon + 2)));
    m_libraryMessages.Push(message);
    m_root.Set("library_messages", m_libraryMessages);
  }
}

void Output::Line(const std::string& text) {
  TakeLibraryMessages();
  if (m_json) return;
  std::FILE* stream = m_linesToStderr ? stderr : stdout;
  std::fputs(text.c_str(), stream);
  std::fputc('\n', stream);
}

void Output::Note(const std::string& text) {
  TakeLibraryMessages();
  if (m_quiet) return;
  std::fflush(stdout);
  std::fputs(text.c_str(), stderr);
  std::fputc('\n', stderr);
}

void Output::Error(const std::string& text) {
  TakeLibraryMessages();
  std::fflush(stdout);
  std::fprintf(stderr, "norvexctl: %s\n", text.c_str());
  if (m_json && !m_root.Has("error")) m_root.Set("error", Json::Str(text));
}

void Output::FailureLines(uint32_t result, const std::string& indent) {
  const std::string text = FailureText(result);
  if (text.empty()) return;
  // The failure text may span lines; each is indented under the result.
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find('\n', start);
    Line(indent + text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

int Output::Result(const std::string& what, uint32_t result) {
  if (m_json) {
    m_root.Set(what, ResultJson(result));
  } else if (result == NORVEX_OK) {
    Line(what + ": OK");
  } else {
    Line(Printf("%s: 0x%08X %s", what.c_str(), result, ResultName(result).c_str()));
    FailureLines(result, "  ");
  }
  return ExitCodeFor(result);
}

void Output::JsonLine(const Json& object) {
  TakeLibraryMessages();
  std::fputs(object.Text().c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Output::Finish(int exitCode) {
  TakeLibraryMessages();
  if (!m_json) return;
  m_root.Set("exit", Json::Int(exitCode));
  JsonLine(m_root);
}

// ---- Progress -----------------------------------------------------------------

std::chrono::steady_clock::time_point ProgramStart() {
  static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  return start;
}

size_t TerminalColumns() {
  struct winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const long n = std::strtol(columns, nullptr, 10);
    if (n > 0 && n < 10000) return static_cast<size_t>(n);
  }
  return 80;
}

namespace {

// "label [#####.....]  42% 6.8 MB / 16.2 MB  84.3 MB/s  0:01 left" in at most
// `columns` - 1 columns (the last column is left free, so that the terminal
// never wraps): the bar takes what the text leaves, the text is shortened
// when even a short bar does not fit.
std::string BarLine(const std::string& label, uint64_t done, uint64_t total, double seconds, size_t columns) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const double left = rate > 0 ? static_cast<double>(total - done) / rate : -1;
  const double share = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1;
  const std::string percent = Printf("%3d%%", static_cast<int>(share * 100));
  const std::string texts[] = {
      Printf("%s %s / %s  %.1f MB/s  %s left", percent.c_str(), Megabytes(done).c_str(),
             Megabytes(total).c_str(), rate / 1e6, Duration(left).c_str()),
      Printf("%s %s  %s left", percent.c_str(), Megabytes(done).c_str(), Duration(left).c_str()),
      percent,
  };
  const size_t room = columns > 1 ? columns - 1 : 0;
  constexpr size_t kMinBar = 10;
  constexpr size_t kMaxBar = 30;
  for (const std::string& text : texts) {
    const size_t fixed = label.size() + 1 + 2 + 1 + text.size();  // "label [" "] " text
    if (fixed + kMinBar > room) continue;
    const size_t width = room - fixed < kMaxBar ? room - fixed : kMaxBar;
    const auto filled = static_cast<size_t>(share * static_cast<double>(width));
    return label + " [" + std::string(filled, '#') + std::string(width - filled, '.') + "] " + text;
  }
  const std::string bare = label + " " + percent;
  return bare.size() <= room ? bare : percent.substr(0, room);
}

}  // namespace

Progress::Progress(std::string label, uint64_t total, bool enabled)
    : m_label(std::move(label)),
      m_total(total),
      m_enabled(enabled),
      m_terminal(isatty(STDERR_FILENO) != 0),
      m_start(std::chrono::steady_clock::now()),
      m_lastDraw(m_start) {}

Progress::~Progress() { Done(); }

void Progress::Update(uint64_t done) {
  if (!m_enabled) return;
  if (done > m_total) done = m_total;
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - m_start).count();
  if (m_terminal) {
    if (m_open && done < m_total && now - m_lastDraw < std::chrono::milliseconds(100)) return;
    m_lastDraw = now;
    std::fflush(stdout);
    std::fprintf(stderr, "\r%s\x1b[K", BarLine(m_label, done, m_total, seconds, TerminalColumns()).c_str());
    std::fflush(stderr);
    m_open = true;
    return;
  }
  const int tenth = m_total > 0 ? static_cast<int>(done * 10 / m_total) : 10;
  if (tenth == m_lastTenth) return;
  m_lastTenth = tenth;
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const double left = rate > 0 ? static_cast<double>(m_total - done) / rate : -1;
  const double share = m_total > 0 ? static_cast<double>(done) / static_cast<double>(m_total) : 1;
  std::fprintf(stderr, "%s %3d%% %s / %s  %.1f MB/s  %s left\n", m_label.c_str(),
               static_cast<int>(share * 100), Megabytes(done).c_str(), Megabytes(m_total).c_str(), rate / 1e6,
               Duration(left).c_str());
  std::fflush(stderr);
}

void Progress::Done() {
  if (m_open) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
    m_open = false;
  }
}

}  // namespace norvexctl
