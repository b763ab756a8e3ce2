// device_address.h: where the platesetter is, as one text in every build,
// parsed here and nowhere else (the library, the emulator and its daemon
// share it):
//   local:FOLDER     the Unix sockets of a device folder (POSIX)
//   tcp:HOST:PORT    a device endpoint over TCP: IPv4, [IPv6] or a name
//   usb              the kernel driver's interface class (Windows)
// Empty text means the platform's default device: the kernel driver on
// Windows, the device folder on POSIX. Standard C++ only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvex::wire {

struct DeviceAddress {
  enum class Kind {
    kDefault,  // nothing configured: the platform's own device
    kLocal,    // a device folder
    kTcp,
    kUsb,
    kInvalid,  // configured, but not an address: `problem` says why
  };
  Kind kind = Kind::kDefault;
  std::string text;    // as configured
  std::string folder;  // kLocal
  std::string host;    // kTcp, without brackets
  uint16_t port = 0;   // kTcp; 0 only where a listener may take any port
  std::string problem;

  bool IsNetwork() const { return kind == Kind::kTcp; }
};

// Parses one address text; empty text is kDefault. `anyPort` lets a
// listener's address name port 0 (the system picks one).
DeviceAddress ParseDeviceAddress(std::string_view text, bool anyPort = false);

// "tcp:HOST:PORT", with brackets around an IPv6 host.
std::string TcpAddressText(const std::string& host, uint16_t port);

}  // namespace norvex::wire
