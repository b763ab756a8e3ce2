// cmd_info.cpp: norvexctl info: port status, versions, the kernel name, the
// main unit's device information and each board's name and version.
#include <cctype>
#include <cstring>

#include "commands.h"
#include "norvex.h"
#include "records.h"

namespace norvexctl {
namespace {

// "HS board 0 version" -> "hs_board_0_version".
std::string Key(const std::string& label) {
  std::string key;
  for (const char c : label)
    key += c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

}  // namespace

int RunInfo(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {}, {}, parsed, error)) return UsageError(context, "info", error);
  if (!parsed.positional.empty()) return UsageError(context, "info", "info takes no arguments");
  if (const int code = context.Connect(); code != kExitOk) return code;
  Output& out = context.out;

  uint8_t version[4] = {};
  Norvex_GetVersion(version);
  const std::string library = Printf("%u.%u.%u.%u", version[0], version[1], version[2], version[3]);
  out.Line("library version: " + library);
  out.root().Set("library_version", Json::Str(library));
  const uint32_t port = Norvex_GetPortStatus();
  out.Line(Printf("port status: 0x%08X %s", port, port == NORVEX_OK ? "(open)" : ResultName(port).c_str()));
  out.root().Set("port_status", ResultJson(port));

  int exitCode = kExitOk;
  Json queries = Json::Object();
  // One query: shown as hex (and text), or as its failure.
  auto show = [&](const std::string& label, uint32_t result, const uint8_t* bytes, size_t size, bool text) {
    Json j = Json::Object();
    j.Set("result", ResultJson(result));
    if (result == NORVEX_OK) {
      const std::string hex = Hex(bytes, size);
      j.Set("hex", Json::Str(hex));
      if (text) {
        const std::string t = RecordText(bytes, size);
        j.Set("text", Json::Str(t));
        out.Line(Printf("%-22s %s", (label + ":").c_str(), t.c_str()));
      } else {
        out.Line(Printf("%-22s %s", (label + ":").c_str(), hex.c_str()));
      }
    } else {
      out.Line(Printf("%-22s failed: 0x%08X %s", (label + ":").c_str(), result, ResultName(result).c_str()));
      out.FailureLines(result, "  ");
      if (exitCode == kExitOk) exitCode = context.FailureExit(result);
    }
    queries.Set(Key(label), j);
  };

  uint8_t name[kMaxReply + 4] = {};
  const uint32_t nameResult = NV_GetKernelName(name);
  show("kernel name", nameResult, name, std::strlen(reinterpret_cast<char*>(name)), true);
  uint8_t word[4] = {};
  show("kernel version", NV_GetKernelVersion(word), word, 4, false);
  show("FPGA version", NV_GetFPGAVersion(word), word, 4, false);
  uint8_t deviceInfo[32] = {};
  show("device information", NV_GetDeviceInfo(deviceInfo), deviceInfo, sizeof(deviceInfo), false);
  const uint32_t maxIndex = NV_GetMaxSDRAMIndex();
  out.Line(Printf("%-22s %u", "max SDRAM index:", maxIndex));
  out.root().Set("max_sdram_index", Json::Int(maxIndex));

  uint8_t lhInfo[24] = {};
  const uint32_t lh = LH_GetInfo(lhInfo);
  show("laser head version", lh, lhInfo, 4, false);
  if (lh == NORVEX_OK) show("laser head name", lh, lhInfo + 4, 20, true);
  for (uint32_t board = 0; board < 2; ++board) {
    uint8_t hsInfo[40] = {};
    const uint32_t hs = HS_GetInfo(board, hsInfo);
    const std::string label = Printf("HS board %u", board);
    show(label + " version", hs, hsInfo, 4, false);
    if (hs == NORVEX_OK) {
      show(label + " name", hs, hsInfo + 4, 32, true);
      show(label + " FPGA", hs, hsInfo + 36, 4, false);
    }
  }
  out.root().Set("queries", queries);
  return exitCode;
}

}  // namespace norvexctl
