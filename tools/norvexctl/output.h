// output.h: what every norvexctl subcommand shares for its output: the exit
// codes, result codes with their names and the library's failure text (GBK
// turned into UTF-8), a small JSON writer, hex dumps and the progress meter.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvexctl {

// Exit codes (docs/norvexctl.md, "EXIT STATUS").
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,     // the device or the library refused: an error reply, a bad reply, a bad argument
  kExitUsage = 2,      // wrong command line
  kExitNoDevice = 3,   // no device (none in the folder, or it went away)
  kExitTimeout = 4,    // a transfer did not complete in time
  kExitMismatch = 5,   // read-back or round trip differs from what was sent
  kExitFile = 6,       // a file could not be read, written or understood
};

// The exit code that a library result code stands for (0 for 0).
int ExitCodeFor(uint32_t result);
// The name of a result code: "NORVEX_OK", "CTP_ERR_CHECKSUM",
// "CTP_ERR_DEVICE(0x10, 0x0012)", "ERROR_IO_PENDING", or "unknown".
std::string ResultName(uint32_t result);
// The library's failure text for `result` (CTP_GetErrorInfo), as UTF-8,
// without trailing line ends. Empty for 0.
std::string FailureText(uint32_t result);
// GBK bytes as UTF-8 (iconv); bytes that are no GBK are replaced by '?'.
std::string GbkToUtf8(std::string_view gbk);

std::string Hex(const uint8_t* bytes, size_t size, const char* separator = " ");
std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A JSON value built in order: objects keep their keys in insertion order.
class Json {
 public:
  static Json Object();
  static Json Array();
  static Json Str(std::string_view text);
  static Json Num(double value);
  static Json Int(int64_t value);
  static Json Bool(bool value);
  static Json Null();

  // Objects: sets (or replaces) a member. Arrays: appends.
  Json& Set(const std::string& key, Json value);
  Json& Push(Json value);
  bool Has(const std::string& key) const;
  std::string Text() const;

 private:
  enum class Kind { kNull, kObject, kArray, kRaw } kind_ = Kind::kNull;
  std::string raw_;
  std::vector<std::pair<std::string, Json>> members_;
};

// A result code as JSON: {"code":"0xE0000008","name":...,"text":...}.
Json ResultJson(uint32_t result);

// The output of one run: lines for a person, or one JSON object at the end
// (--json). Human lines go to stdout, errors to stderr.
class Output {
 public:
  explicit Output(bool json) : json_(json), root_(Json::Object()) {}
  bool json() const { return json_; }
  // A line for a person (nothing in JSON mode).
  void Line(const std::string& text);
  // An error for a person on stderr (also recorded as "error" in JSON).
  void Error(const std::string& text);
  // "what: OK" or "what: 0x... NAME" and the failure text; in JSON a member
  // `what` with ResultJson. Returns ExitCodeFor(result).
  int Result(const std::string& what, uint32_t result);
  Json& root() { return root_; }
  // Prints the JSON object (JSON mode).
  void Finish(int exitCode);

 private:
  bool json_;
  Json root_;
};

// A progress meter: on a terminal a bar with bytes, rate and time left,
// redrawn in place; elsewhere a plain line at each step of a tenth.
class Progress {
 public:
  Progress(std::FILE* stream, std::string label, uint64_t total);
  void Update(uint64_t done);
  // Ends the bar's line.
  void Done();

 private:
  std::string Text(uint64_t done, bool bar) const;

  std::FILE* stream_;
  std::string label_;
  uint64_t total_;
  bool terminal_;
  int lastTenth_ = -1;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// Byte counts and rates for people: "16.2 MB", "84.3 MB/s".
std::string Megabytes(uint64_t bytes);

}  // namespace norvexctl
