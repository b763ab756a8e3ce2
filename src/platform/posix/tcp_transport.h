// tcp_transport.h: the TCP transport over POSIX sockets: the device
// protocol framed the same way over a TCP connection to HOST:PORT.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/device/stream.h"

namespace norvex::platform::tcp_transport {

// Connects to `host` (an IPv4 or IPv6 address, or a name) at `port` within
// `deadline`, trying each address the name resolves to. Null with the
// reason in `error`: kErrorNoMoreItems when nobody serves the address (as
// when no device is present), kErrorBadNetName for a name that does not
// resolve, kErrorTimeout when no answer came in time.
std::unique_ptr<device::Stream> Connect(const std::string& host, uint16_t port,
                                        device::Clock::time_point deadline, uint32_t& error);

}  // namespace norvex::platform::tcp_transport
