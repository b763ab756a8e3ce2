// cmd_list.cpp: norvexctl list: the device endpoints of a device folder,
// each opened through the library on its own: open (with its kernel name),
// busy (held by another program) or stale (a socket that nobody serves).
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "commands.h"
#include "norvex.h"
#include "norvex_posix.h"
#include "records.h"

namespace norvexctl {
namespace {

struct Probe {
  std::string state;  // open, busy, stale, absent, failed
  std::string kernelName;
  uint32_t openError = 0;
};

// Opens the endpoint alone: the library is shown a private folder holding a
// link to it (or the network address itself), with a window of its own,
// closed again when the window goes.
Probe ProbeEndpoint(const std::string& endpoint) {
  Probe probe;
  const bool network = IsNetworkAddress(endpoint);
  const std::string folder = network ? std::string() : MakeTempFolder("norvexctl-list");
  if (!network && folder.empty()) {
    probe.state = "failed";
    return probe;
  }
  std::error_code error;
  if (network) {
    setenv("NORVEX_DEVICE", endpoint.c_str(), 1);
  } else {
    std::filesystem::create_symlink(
        endpoint, folder + "/" + std::filesystem::path(endpoint).filename().string(), error);
    unsetenv("NORVEX_DEVICE");
    setenv("NORVEX_DEVICE_DIR", folder.c_str(), 1);
  }
  const NorvexWindow window = NorvexHost_CreateWindow();
  const uint32_t result = error ? CTP_ERR_NO_DEVICE : Norvex_Init(window);
  probe.openError = NorvexHost_GetOpenError();
  if (result == NORVEX_OK) {
    probe.state = "open";
    uint8_t name[kMaxReply + 4] = {};
    if (NV_GetKernelName(name) == NORVEX_OK) probe.kernelName = RecordText(name, kMaxReply);
  } else if (probe.openError == kErrorAccessDenied) {
    probe.state = "busy";
  } else if (probe.openError == kErrorDeviceNotConnected) {
    probe.state = "stale";
  } else if (probe.openError == kErrorInvalidOwner) {
    probe.state = "denied";  // another user's, or not private
  } else if (probe.openError == NORVEX_ERROR_NO_MORE_ITEMS) {
    probe.state = "absent";  // gone since the folder was read, or nobody serves the address
  } else {
    probe.state = "failed";
  }
  if (window != nullptr) NorvexHost_DestroyWindow(window);
  if (!network) std::filesystem::remove_all(folder, error);
  return probe;
}

// What a network address serves: one platesetter, or none.
int ListAddress(Context& context, const std::string& address) {
  if (const int code = NeedLibrary(context); code != kExitOk) return code;
  const Probe probe = ProbeEndpoint(address);
  std::string line = Printf("%-24s %-6s", address.c_str(), probe.state.c_str());
  if (!probe.kernelName.empty()) line += "  " + probe.kernelName;
  if (probe.state == "busy") line += "  (another program has it open)";
  if (probe.state == "absent") line += "  (nobody serves this address)";
  context.out.Line(line);
  Json j = Json::Object();
  j.Set("endpoint", Json::Str(address));
  j.Set("state", Json::Str(probe.state));
  if (!probe.kernelName.empty()) j.Set("kernel_name", Json::Str(probe.kernelName));
  Json devices = Json::Array();
  devices.Push(j);
  context.out.root().Set("address", Json::Str(address));
  context.out.root().Set("devices", devices);
  return kExitOk;
}

}  // namespace

int RunList(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {}, {}, parsed, error)) return UsageError(context, "list", error);
  if (!parsed.positional.empty()) return UsageError(context, "list", "list takes no arguments");
  const std::string address =
      IsNetworkAddress(context.options.device) ? context.options.device : ConfiguredNetworkAddress();
  if (!address.empty() && (context.options.device.empty() || IsNetworkAddress(context.options.device))) {
    return ListAddress(context, address);
  }
  std::string folder = DefaultDeviceFolder();
  if (!context.options.device.empty()) {
    if (!std::filesystem::is_directory(context.options.device)) {
      return UsageError(context, "list", "--device for list is a device folder");
    }
    folder = context.options.device;
  }
  if (const int code = NeedLibrary(context); code != kExitOk) return code;
  Output& out = context.out;
  if (!folder.empty() && folder.back() == '/' && folder.size() > 1) folder.pop_back();
  const std::vector<std::string> names = EndpointNames(folder);
  out.Note(Printf("norvexctl: device folder %s: %zu endpoint%s", folder.c_str(), names.size(),
                  names.size() == 1 ? "" : "s"));
  Json devices = Json::Array();
  for (const std::string& name : names) {
    if (StopRequested()) break;
    const std::string endpoint = folder + "/" + name;
    const Probe probe = ProbeEndpoint(endpoint);
    std::string line = Printf("%-20s %-6s", name.c_str(), probe.state.c_str());
    if (!probe.kernelName.empty()) line += "  " + probe.kernelName;
    if (probe.state == "busy") line += "  (another program has it open)";
    if (probe.state == "stale") line += "  (nobody serves this socket)";
    out.Line(line);
    Json j = Json::Object();
    j.Set("name", Json::Str(name));
    j.Set("endpoint", Json::Str(endpoint));
    j.Set("state", Json::Str(probe.state));
    if (!probe.kernelName.empty()) j.Set("kernel_name", Json::Str(probe.kernelName));
    Json openError = Json::Object();
    openError.Set("code", Json::Hex(probe.openError, 8));
    openError.Set("name", Json::Str(ResultName(probe.openError)));
    j.Set("open_error", openError);
    devices.Push(j);
  }
  out.root().Set("folder", Json::Str(folder));
  out.root().Set("devices", devices);
  return kExitOk;
}

}  // namespace norvexctl
