// output.cpp: exit codes, result names, failure texts, JSON, progress (see output.h).
#include "output.h"

#include <iconv.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "norvex.h"

namespace norvexctl {
namespace {

// Platform error codes that a transfer can pass through.
constexpr uint32_t kErrorWriteFault = 29;
constexpr uint32_t kErrorBusy = 170;

struct NamedCode {
  uint32_t code;
  const char* name;
};

constexpr NamedCode kNames[] = {
    {NORVEX_OK, "NORVEX_OK"},
    {NORVEX_ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {kErrorWriteFault, "ERROR_WRITE_FAULT"},
    {kErrorBusy, "ERROR_BUSY"},
    {NORVEX_ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
    {NORVEX_ERROR_BULK_INCOMPLETE, "ERROR_BULK_INCOMPLETE"},
    {NORVEX_ERROR_IO_PENDING, "ERROR_IO_PENDING"},
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
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
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
      return kExitNoDevice;
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

std::string GbkToUtf8(std::string_view gbk) {
  std::string out;
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(gbk);
  std::string in(gbk);
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char buffer[256];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof(buffer);
    const size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer, sizeof(buffer) - outLeft);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte that starts no GBK character: shown as '?', skipped.
      out += '?';
      ++inPtr;
      --inLeft;
    }
  }
  iconv_close(cd);
  return out;
}

std::string FailureText(uint32_t result) {
  if (result == NORVEX_OK) return "";
  const char* text = CTP_GetErrorInfo(result);
  std::string utf8 = GbkToUtf8(text != nullptr ? text : "");
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
  j.kind_ = Kind::kObject;
  return j;
}
Json Json::Array() {
  Json j;
  j.kind_ = Kind::kArray;
  return j;
}
Json Json::Str(std::string_view text) {
  Json j;
  j.kind_ = Kind::kRaw;
  AppendEscaped(j.raw_, text);
  return j;
}
Json Json::Num(double value) {
  Json j;
  j.kind_ = Kind::kRaw;
  j.raw_ = std::isfinite(value) ? Printf("%.6g", value) : "null";
  return j;
}
Json Json::Int(int64_t value) {
  Json j;
  j.kind_ = Kind::kRaw;
  j.raw_ = std::to_string(value);
  return j;
}
Json Json::Bool(bool value) {
  Json j;
  j.kind_ = Kind::kRaw;
  j.raw_ = value ? "true" : "false";
  return j;
}
Json Json::Null() { return Json(); }

Json& Json::Set(const std::string& key, Json value) {
  for (auto& member : members_) {
    if (member.first == key) {
      member.second = std::move(value);
      return *this;
    }
  }
  members_.emplace_back(key, std::move(value));
  return *this;
}

Json& Json::Push(Json value) {
  members_.emplace_back(std::string(), std::move(value));
  return *this;
}

bool Json::Has(const std::string& key) const {
  for (const auto& member : members_) {
    if (member.first == key) return true;
  }
  return false;
}

std::string Json::Text() const {
  switch (kind_) {
    case Kind::kNull:
      return "null";
    case Kind::kRaw:
      return raw_;
    case Kind::kObject:
    case Kind::kArray: {
      const bool object = kind_ == Kind::kObject;
      std::string out(object ? "{" : "[");
      bool first = true;
      for (const auto& member : members_) {
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
  j.Set("code", Json::Str(Printf("0x%08X", result)));
  j.Set("name", Json::Str(ResultName(result)));
  j.Set("text", Json::Str(FailureText(result)));
  return j;
}

// ---- Output ------------------------------------------------------------------

void Output::Line(const std::string& text) {
  if (json_) return;
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
}

void Output::Error(const std::string& text) {
  std::fprintf(stderr, "norvexctl: %s\n", text.c_str());
  if (json_ && !root_.Has("error")) root_.Set("error", Json::Str(text));
}

int Output::Result(const std::string& what, uint32_t result) {
  if (json_) {
    root_.Set(what, ResultJson(result));
  } else if (result == NORVEX_OK) {
    Line(what + ": OK");
  } else {
    Line(Printf("%s: 0x%08X %s", what.c_str(), result, ResultName(result).c_str()));
    const std::string text = FailureText(result);
    if (!text.empty()) {
      // The failure text may span lines; each is indented under the result.
      size_t start = 0;
      while (start <= text.size()) {
        const size_t end = text.find('\n', start);
        Line("  " + text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
      }
    }
  }
  return ExitCodeFor(result);
}

void Output::Finish(int exitCode) {
  if (!json_) return;
  root_.Set("exit", Json::Int(exitCode));
  std::fputs(root_.Text().c_str(), stdout);
  std::fputc('\n', stdout);
}

// ---- Progress -----------------------------------------------------------------

Progress::Progress(std::FILE* stream, std::string label, uint64_t total)
    : stream_(stream),
      label_(std::move(label)),
      total_(total),
      terminal_(isatty(fileno(stream)) != 0),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

std::string Progress::Text(uint64_t done, bool bar) const {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : -1;
  const double share = total_ > 0 ? static_cast<double>(done) / static_cast<double>(total_) : 1;
  std::string out = label_ + " ";
  if (bar) {
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(share * kWidth);
    out += '[' + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kWidth - filled), '.') + "] ";
  }
  out += Printf("%3d%% %s / %s  %.1f MB/s  %s left", static_cast<int>(share * 100), Megabytes(done).c_str(),
                Megabytes(total_).c_str(), rate / 1e6, Duration(left).c_str());
  return out;
}

void Progress::Update(uint64_t done) {
  if (done > total_) done = total_;
  if (terminal_) {
    const auto now = std::chrono::steady_clock::now();
    if (done < total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::fprintf(stream_, "\r%s\x1b[K", Text(done, true).c_str());
    std::fflush(stream_);
    return;
  }
  const int tenth = total_ > 0 ? static_cast<int>(done * 10 / total_) : 10;
  if (tenth == lastTenth_) return;
  lastTenth_ = tenth;
  std::fprintf(stream_, "%s\n", Text(done, false).c_str());
  std::fflush(stream_);
}

void Progress::Done() {
  if (terminal_) {
    std::fputc('\n', stream_);
    std::fflush(stream_);
  }
}

}  // namespace norvexctl
