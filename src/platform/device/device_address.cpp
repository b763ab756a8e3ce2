// device_address.cpp: the configured device address.
#include "platform/device/device_address.h"

namespace norvex::platform::device {
namespace {

// The host's INI file beside its files, and the key that names the device.
constexpr const char* kIniFileName = "Varnock.ini";
constexpr const char* kDeviceSection = "Device";
constexpr const char* kAddressKey = "Address";
constexpr const char* kAddressVariable = "NORVEX_DEVICE";

}  // namespace

DeviceAddress ConfiguredDeviceAddress(HostEnvironment& host) {
  std::string text = host.EnvironmentVariable(kAddressVariable);
  if (text.empty()) {
    const std::string ini = host.HostFilesFolder() + host.PathSeparator() + kIniFileName;
    text = host.ReadIniString(ini, kDeviceSection, kAddressKey, "", 1024);
  }
  return wire::ParseDeviceAddress(text);
}

}  // namespace norvex::platform::device
