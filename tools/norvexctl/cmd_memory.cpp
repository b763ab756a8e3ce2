// cmd_memory.cpp: norvexctl memory clear|read: the main unit's print memory:
// cleared by the page reset, read back from its read position.
#include "commands.h"
#include "norvex.h"

namespace norvexctl {

int RunMemory(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--bytes"}, {}, parsed, error)) return UsageError(context, "memory", error);
  const auto& p = parsed.positional;
  if (p.empty() || (p[0] != "clear" && p[0] != "read")) {
    return UsageError(context, "memory", "memory takes 'clear' or 'read OUTPUT'");
  }
  Output& out = context.out;
  out.root().Set("action", Json::Str(p[0]));
  if (p[0] == "clear") {
    if (p.size() != 1 || parsed.Has("--bytes"))
      return UsageError(context, "memory", "memory clear takes nothing more");
    if (const int code = context.Connect(); code != kExitOk) return code;
    const uint32_t result = NV_ResetPage();
    out.Result("clear", result);
    return context.FailureExit(result);
  }
  if (p.size() != 2) return UsageError(context, "memory", "memory read takes OUTPUT");
  uint32_t limit = 0xFFFFFFFFu;
  if (parsed.Has("--bytes") && (!ParseU32(parsed.Value("--bytes"), limit) || limit == 0)) {
    return UsageError(context, "memory", "--bytes needs a number above 0");
  }
  if (p[1] == "-" && out.json())
    return UsageError(context, "memory", "--json and OUTPUT '-' would both use standard output");
  if (p[1] == "-") out.LinesToStderr();
  OutputFile output;
  if (!output.Check(p[1], error)) {
    out.Error(error);
    return kExitFile;
  }
  if (const int code = context.Connect(); code != kExitOk) return code;
  std::vector<uint8_t> memory;
  uint32_t result = NORVEX_OK;
  constexpr uint32_t kChunk = 0x40000;
  uint64_t received = 0;
  while (received < limit && !StopRequested()) {
    uint32_t n = limit - received < kChunk ? static_cast<uint32_t>(limit - received) : kChunk;
    // Room for what is asked and the most one reply brings beyond it.
    memory.resize(static_cast<size_t>(received) + n + 500);
    result = NV_ReadSDRAMData(memory.data() + received, &n);
    received += n;
    if (result != NORVEX_OK || n == 0) break;
  }
  if (received > limit) received = limit;
  memory.resize(static_cast<size_t>(received));
  if (result != NORVEX_OK) {
    out.Result("read", result);
    return context.FailureExit(result);
  }
  if (!WriteWholeFile(output.path(), memory.data(), memory.size()) || !output.Commit()) {
    out.Error("cannot write " + p[1]);
    return kExitFile;
  }
  out.Line(Printf("%llu bytes of print memory read into %s", static_cast<unsigned long long>(received),
                  output.toStdout() ? "standard output" : output.path().c_str()));
  out.root().Set("bytes", Json::Int(static_cast<int64_t>(received)));
  out.root().Set("file", Json::Str(output.path()));
  return StopRequested() ? kExitInterrupted : kExitOk;
}

}  // namespace norvexctl
