// device_address.cpp: parsing device addresses.
#include "wire/device_address.h"

#include <cctype>

namespace norvex::wire {
namespace {

DeviceAddress Invalid(std::string_view text, const char* problem) {
  DeviceAddress address;
  address.kind = DeviceAddress::Kind::kInvalid;
  address.text = std::string(text);
  address.problem = problem;
  return address;
}

bool ParsePort(std::string_view text, bool anyPort, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if ((value == 0 && !anyPort) || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) text.remove_suffix(1);
  return text;
}

}  // namespace

DeviceAddress ParseDeviceAddress(std::string_view raw, bool anyPort) {
  const std::string_view text = Trimmed(raw);
  DeviceAddress address;
  address.text = std::string(text);
  if (text.empty()) return address;
  if (text == "usb") {
    address.kind = DeviceAddress::Kind::kUsb;
    return address;
  }
  if (text.substr(0, 6) == "local:") {
    if (text.size() == 6) return Invalid(text, "local: names no folder");
    address.kind = DeviceAddress::Kind::kLocal;
    address.folder = std::string(text.substr(6));
    return address;
  }
  if (text.substr(0, 4) != "tcp:") return Invalid(text, "an address begins with local:, tcp: or is usb");
  std::string_view rest = text.substr(4);
  std::string_view host;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return Invalid(text, "an IPv6 host stands in brackets, followed by :PORT");
    }
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return Invalid(text, "tcp: needs HOST:PORT");
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return Invalid(text, "an IPv6 host stands in brackets");
  }
  if (host.empty()) return Invalid(text, "tcp: names no host");
  if (!ParsePort(port, anyPort, address.port)) return Invalid(text, "the port is a number from 1 to 65535");
  address.kind = DeviceAddress::Kind::kTcp;
  address.host = std::string(host);
  return address;
}

std::string TcpAddressText(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return "tcp:" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace norvex::wire
