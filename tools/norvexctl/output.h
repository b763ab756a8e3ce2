// output.h: what every norvexctl subcommand shares for its output: the exit
// codes, result codes with their names and the library's failure text (in
// UTF-8, as the library gives it), a small JSON writer, hex dumps and the
// progress meter.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvexctl {

// Exit codes (docs/norvexctl.md, "EXIT STATUS").
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,         // the device or the library refused: an error reply, a bad reply, a bad argument
  kExitUsage = 2,          // wrong command line
  kExitNoDevice = 3,       // no device (none in the folder, or it went away)
  kExitTimeout = 4,        // a transfer did not complete in time
  kExitMismatch = 5,       // read-back or round trip differs from what was sent
  kExitFile = 6,           // a file could not be read, written or understood
  kExitBusy = 7,           // the device is held by another program
  kExitPermission = 8,     // the device's folder or endpoint is not the user's own (or not private)
  kExitInterrupted = 130,  // SIGINT or SIGTERM: stopped cleanly (128 + SIGINT, as shells count)
};

// Platform error codes that reach the tool through the library.
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorWriteFault = 29;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;
// Open errors of device endpoints: no answer in time, another protocol
// version, a folder or endpoint another user could have made, a configured
// address that is none.
inline constexpr uint32_t kErrorTimeout = 1460;
inline constexpr uint32_t kErrorRevisionMismatch = 1306;
inline constexpr uint32_t kErrorInvalidOwner = 1307;
inline constexpr uint32_t kErrorBadAddress = 161;

// The exit code that a library result code stands for (0 for 0).
int ExitCodeFor(uint32_t result);
// The name of a result code: "NORVEX_OK", "CTP_ERR_CHECKSUM",
// "CTP_ERR_DEVICE(0x10, 0x0012)", "ERROR_IO_PENDING", or "unknown".
std::string ResultName(uint32_t result);
// The library's failure text for `result` (CTP_GetErrorInfo) in UTF-8, with
// the English meaning after each of its Chinese phrases, as the library gives
// it (NorvexHost_GetErrorText), without trailing line ends. Empty for 0.
std::string FailureText(uint32_t result);
// A text the library wrote in GBK (a line of its log) in UTF-8 with the same
// meanings (NorvexHost_TextToUtf8): "错误编号" becomes "错误编号 (error number)".
std::string Utf8OfLibraryText(const std::string& gbk);
// A text of the library that `fill` writes into a buffer as the library's
// text functions do (returning the whole length), read whole.
std::string LibraryText(const std::function<uint32_t(char*, uint32_t)>& fill);

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
  // A number shown in hex, as a string: "0x" and `digits` upper-case digits
  // ("0x9000", "0xE0100012"). Bytes, words, codes and masks all take this form.
  static Json Hex(uint64_t value, int digits);

  // Objects: sets (or replaces) a member. Arrays: appends.
  Json& Set(const std::string& key, Json value);
  Json& Push(Json value);
  bool Has(const std::string& key) const;
  std::string Text() const;

 private:
  enum class Kind { kNull, kObject, kArray, kRaw } m_kind = Kind::kNull;
  std::string m_raw;
  std::vector<std::pair<std::string, Json>> m_members;
};

// A result code as JSON: {"code":"0xE0000008","name":...,"text":...}.
Json ResultJson(uint32_t result);

// The output of one run. Data go to standard output: lines for a person, or
// one JSON object at the end (--json). Diagnostics go to standard error:
// notes (which device, progress, hints; none with -q) and errors (always).
class Output {
 public:
  Output(bool json, bool quiet) : m_json(json), m_quiet(quiet), m_root(Json::Object()) {}
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  // The library's message lines ("Norvex error: ...", its message boxes)
  // come to the tool (NORVEX_MESSAGE_FD) instead of going to standard error
  // on their own, and are shown as the tool's notes are: on standard error
  // unless -q, and with --json also as the member "library_messages". Call
  // it before the library is loaded.
  void CaptureLibraryMessages();
  bool json() const { return m_json; }
  bool quiet() const { return m_quiet; }
  // A line of the command's result for a person (nothing in JSON mode); on
  // stderr once the command's data go to standard output ('-').
  void Line(const std::string& text);
  void LinesToStderr() { m_linesToStderr = true; }
  // A diagnostic line on stderr (nothing with -q).
  void Note(const std::string& text);
  // An error for a person on stderr (also recorded as "error" in JSON).
  void Error(const std::string& text);
  // "what: OK" or "what: 0x... NAME" and the failure text; in JSON a member
  // `what` with ResultJson. Returns ExitCodeFor(result).
  int Result(const std::string& what, uint32_t result);
  // The failure text of `result`, each of its lines indented by `indent`.
  void FailureLines(uint32_t result, const std::string& indent);
  Json& root() { return m_root; }
  // One JSON object on a line of its own, at once (watch --json).
  void JsonLine(const Json& object);
  // Prints the JSON object (JSON mode).
  void Finish(int exitCode);

 private:
  // Shows the library's message lines written since the last look.
  void TakeLibraryMessages();

  bool m_json;
  bool m_quiet;
  bool m_linesToStderr = false;
  Json m_root;
  int m_messages = -1;          // where the library writes its message lines
  uint64_t m_messagesRead = 0;  // how much of them was taken
  std::string m_messagePart;    // a line not yet ended
  Json m_libraryMessages = Json::Array();
};

// A progress meter on stderr: on a terminal a bar with bytes, rate and time
// left, redrawn in place within the terminal's width; elsewhere a plain line
// at each step of a tenth. Nothing when `enabled` is false (-q).
class Progress {
 public:
  Progress(std::string label, uint64_t total, bool enabled);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Update(uint64_t done);
  // Ends the bar's line (also done by the destructor, so that the cursor
  // never stays after a bar).
  void Done();

 private:
  std::string m_label;
  uint64_t m_total;
  bool m_enabled;
  bool m_terminal;
  bool m_open = false;  // a bar is drawn and its line not yet ended
  int m_lastTenth = -1;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_lastDraw;
};

// The time the tool started (the first call makes it: main calls it first).
std::chrono::steady_clock::time_point ProgramStart();

// The terminal's width in columns: of stderr, else $COLUMNS, else 80.
size_t TerminalColumns();

// Byte counts and rates for people: "16.2 MB", "84.3 MB/s".
std::string Megabytes(uint64_t bytes);

}  // namespace norvexctl
