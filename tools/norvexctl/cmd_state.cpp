// cmd_state.cpp: norvexctl state and watch: state records in hex, decoded
// where their meaning is known; watch polls one and shows its changes.
#include <sys/time.h>

#include <chrono>
#include <ctime>

#include "commands.h"
#include "norvex.h"
#include "records.h"

namespace norvexctl {
namespace {

// The record a command line names: UNIT [RECORD|GROUP:ITEM] [--length N].
struct Target {
  const UnitInfo* unit = nullptr;
  RecordInfo record{};
  bool all = false;  // every record of the unit
};

bool ParseTarget(const Args& parsed, size_t first, Target& target, std::string& error) {
  const auto& p = parsed.positional;
  if (p.size() > first + 2) {
    error = "too many arguments";
    return false;
  }
  if (p.size() <= first) return true;
  target.unit = FindUnit(p[first]);
  if (target.unit == nullptr) {
    error = "unknown unit '" + p[first] + "' (main, lh, hs0, hs1)";
    return false;
  }
  if (p.size() == first + 1) {
    target.all = true;
    return true;
  }
  const std::string& name = p[first + 1];
  if (const RecordInfo* known = FindRecord(*target.unit, name)) {
    target.record = *known;
    if (parsed.Has("--length")) {
      error = "--length goes with GROUP:ITEM only";
      return false;
    }
    return true;
  }
  const size_t colon = name.find(':');
  uint32_t group = 0;
  uint32_t item = 0;
  if (colon == std::string::npos || !ParseU32("0x" + name.substr(0, colon), group) ||
      !ParseU32("0x" + name.substr(colon + 1), item) || group > 0xFFFF || item > 0xFFFF) {
    error = "unknown record '" + name + "' (see --list, or give GROUP:ITEM in hex)";
    return false;
  }
  uint32_t length = 4;
  const std::string lengthText = parsed.Value("--length", "4");
  if (lengthText == "any") {
    length = kAnyLength;
  } else if (!ParseU32(lengthText, length) || length > kMaxReply) {
    error = "--length must be 0..500 or 'any'";
    return false;
  }
  target.record =
      RecordInfo{"custom", static_cast<uint16_t>(group), static_cast<uint16_t>(item), length, Decode::kNone};
  return true;
}

// Reads and shows one record; returns its result.
uint32_t ShowRecord(Output& out, const UnitInfo& unit, const RecordInfo& record, Json& list) {
  std::vector<uint8_t> bytes;
  const uint32_t result = QueryRecord(unit.address, record.group, record.item, record.length, bytes);
  Json j = Json::Object();
  j.Set("unit", Json::Str(unit.name));
  j.Set("record", Json::Str(record.name));
  j.Set("group", Json::Hex(record.group, 4));
  j.Set("item", Json::Hex(record.item, 4));
  j.Set("result", ResultJson(result));
  const std::string title = Printf("%s %s (%04X:%04X)", unit.name, record.name, record.group, record.item);
  if (result != NORVEX_OK) {
    out.Line(Printf("%s: failed: 0x%08X %s", title.c_str(), result, ResultName(result).c_str()));
    out.FailureLines(result, "  ");
  } else {
    out.Line(Printf("%s, %zu bytes:", title.c_str(), bytes.size()));
    for (size_t i = 0; i < bytes.size(); i += 16) {
      const size_t n = bytes.size() - i < 16 ? bytes.size() - i : 16;
      out.Line(Printf("  %04zX  %s", i, Hex(bytes.data() + i, n).c_str()));
    }
    j.Set("length", Json::Int(static_cast<int64_t>(bytes.size())));
    j.Set("hex", Json::Str(Hex(bytes.data(), bytes.size(), "")));
    if (bytes.size() >= 4) {
      out.Line("  words: " + Words(bytes));
      j.Set("words", WordsJson(bytes));
    }
    Json decoded = Json::Object();
    for (const std::string& line : DecodeRecord(record.decode, bytes, decoded)) out.Line("  " + line);
    j.Set("decoded", decoded);
  }
  list.Push(j);
  return result;
}

}  // namespace

int RunState(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  Target target;
  if (!ParseArgs(args, {"--length"}, {"--list"}, parsed, error) || !ParseTarget(parsed, 0, target, error)) {
    return UsageError(context, "state", error);
  }
  Output& out = context.out;
  if (parsed.Has("--list")) {
    Json list = Json::Array();
    for (const UnitInfo& unit : Units()) {
      if (target.unit != nullptr && target.unit != &unit) continue;
      out.Line(Printf("%s (%s, address 0x%02X):", unit.name, unit.title, unit.address));
      for (const RecordInfo& r : unit.records) {
        const std::string length = r.length == kAnyLength ? std::string("any") : std::to_string(r.length);
        out.Line(Printf("  %-14s %04X:%04X  %s bytes", r.name, r.group, r.item, length.c_str()));
        Json j = Json::Object();
        j.Set("unit", Json::Str(unit.name));
        j.Set("record", Json::Str(r.name));
        j.Set("group", Json::Hex(r.group, 4));
        j.Set("item", Json::Hex(r.item, 4));
        j.Set("length", r.length == kAnyLength ? Json::Str("any") : Json::Int(r.length));
        list.Push(j);
      }
    }
    out.root().Set("records", list);
    return kExitOk;
  }
  if (const int code = context.Connect(); code != kExitOk) return code;
  Json list = Json::Array();
  int exitCode = kExitOk;
  for (const UnitInfo& unit : Units()) {
    if (target.unit != nullptr && target.unit != &unit) continue;
    if (target.unit != nullptr && !target.all) {
      exitCode = context.FailureExit(ShowRecord(out, unit, target.record, list));
      break;
    }
    for (const RecordInfo& record : unit.records) {
      if (StopRequested()) break;
      const uint32_t result = ShowRecord(out, unit, record, list);
      if (exitCode == kExitOk) exitCode = context.FailureExit(result);
    }
  }
  out.root().Set("records", list);
  return exitCode;
}

namespace {

// The wall-clock time: "HH:MM:SS.mmm" for a person, and milliseconds since
// 1970 for JSON.
struct Stamp {
  std::string text;
  int64_t unixMs;
};

Stamp Now() {
  struct timeval tv {};
  ::gettimeofday(&tv, nullptr);
  struct tm local {};
  ::localtime_r(&tv.tv_sec, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%H:%M:%S", &local);
  const int64_t ms = static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
  return Stamp{Printf("%s.%03d", text, static_cast<int>(tv.tv_usec / 1000)), ms};
}

Json Event(const char* name, const Stamp& stamp) {
  Json j = Json::Object();
  j.Set("event", Json::Str(name));
  j.Set("time_ms", Json::Int(stamp.unixMs));
  return j;
}

// Waits `ms` milliseconds while delivering the library's device
// notifications; returns early when a stop is asked for.
void Wait(Session& session, uint32_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!StopRequested()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    session.Dispatch(static_cast<uint32_t>(left.count() < 100 ? left.count() : 100));
  }
}

// The device went: says so once; with `follow` waits until it is back and
// says so. False when the watch ends here (no `follow`, or a stop signal).
bool DeviceWent(Context& context, uint32_t poll, uint32_t result, bool follow, uint32_t interval) {
  Output& out = context.out;
  Session& session = context.session;
  const Stamp stamp = Now();
  out.Line(stamp.text + "  device unplugged" + (follow ? "; waiting for it (Ctrl-C ends)" : ""));
  std::fflush(stdout);  // a log that follows the watch sees it now
  if (out.json()) {
    Json j = Event("unplugged", stamp);
    j.Set("poll", Json::Int(poll));
    j.Set("result", ResultJson(result));
    out.JsonLine(j);
  }
  if (!follow) return false;
  while (!StopRequested()) {
    Wait(session, interval);
    if (session.DeviceGone()) continue;
    // There again: opened anew, whether or not the library saw an arrival
    // (a single endpoint has none of its own, and an open from before the
    // unplug is stale); back only when the open succeeds.
    if (session.Reopen() == NORVEX_OK) break;
  }
  if (StopRequested()) return false;
  const Stamp back = Now();
  out.Line(back.text + "  device back");
  std::fflush(stdout);
  if (out.json()) out.JsonLine(Event("replugged", back));
  return true;
}

// A poll whose result or bytes changed: a time-stamped line and an event.
void ShowChange(Output& out, uint32_t poll, uint32_t result, const std::vector<uint8_t>& bytes) {
  const Stamp stamp = Now();
  if (result == NORVEX_OK) {
    out.Line(Printf("%s  poll %u: %s", stamp.text.c_str(), poll, Hex(bytes.data(), bytes.size()).c_str()));
  } else {
    out.Line(Printf("%s  poll %u: failed: 0x%08X %s", stamp.text.c_str(), poll, result,
                    ResultName(result).c_str()));
  }
  if (out.json()) {
    Json j = Event("change", stamp);
    j.Set("poll", Json::Int(poll));
    j.Set("result", ResultJson(result));
    if (result == NORVEX_OK) j.Set("hex", Json::Str(Hex(bytes.data(), bytes.size(), "")));
    out.JsonLine(j);
  }
  std::fflush(stdout);
}

}  // namespace

int RunWatch(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  Target target;
  if (!ParseArgs(args, {"--length", "--interval", "--count"}, {"--follow"}, parsed, error) ||
      !ParseTarget(parsed, 0, target, error)) {
    return UsageError(context, "watch", error);
  }
  if (target.unit == nullptr) {
    target.unit = FindUnit("main");
    target.record = *FindRecord(*target.unit, "print");
  } else if (target.all) {
    return UsageError(context, "watch", "watch takes one record: UNIT RECORD");
  }
  uint32_t interval = 500;
  uint32_t count = 0;
  if (!ParseU32(parsed.Value("--interval", "500"), interval) ||
      !ParseU32(parsed.Value("--count", "0"), count)) {
    return UsageError(context, "watch", "--interval and --count take numbers");
  }
  const bool follow = parsed.Has("--follow");
  if (const int code = context.Connect(); code != kExitOk) return code;
  Output& out = context.out;
  out.Note(Printf("watching %s %s every %u ms%s", target.unit->name, target.record.name, interval,
                  count != 0 ? Printf(", %u polls", count).c_str() : " (Ctrl-C ends)"));
  std::fflush(stdout);
  std::vector<uint8_t> last;
  uint32_t lastResult = 0xFFFFFFFFu;
  uint32_t changes = 0;
  uint32_t poll = 0;
  int exitCode = kExitOk;
  for (; (count == 0 || poll < count) && !StopRequested(); ++poll) {
    if (poll > 0) Wait(context.session, interval);
    if (StopRequested()) break;
    std::vector<uint8_t> bytes;
    const uint32_t result = QueryRecord(target.unit->address, target.record.group, target.record.item,
                                        target.record.length, bytes);
    const int resultExit = ExitCodeFor(result);
    if (result != NORVEX_OK && (context.session.DeviceGone() || resultExit == kExitNoDevice)) {
      if (!DeviceWent(context, poll, result, follow, interval)) {
        if (!follow) exitCode = kExitNoDevice;
        break;
      }
      lastResult = 0xFFFFFFFFu;  // the next poll shows the record again
      continue;
    }
    if (result == lastResult && bytes == last) continue;
    lastResult = result;
    last = bytes;
    ++changes;
    if (result != NORVEX_OK) exitCode = resultExit;
    ShowChange(out, poll, result, bytes);
  }
  out.root().Set("polls", Json::Int(poll));
  out.root().Set("changes", Json::Int(changes));
  return exitCode;
}

}  // namespace norvexctl
