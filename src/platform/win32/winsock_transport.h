// winsock_transport.h: the TCP transport of the Windows builds, over
// Winsock: the device protocol framed the same way as on POSIX over a TCP
// connection to HOST:PORT. Winsock is started at the first connection, so
// that a host that names no network device never loads it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/device/stream.h"

namespace norvex::platform::winsock_transport {

// Connects to `host` (an IPv4 or IPv6 address, or a name) at `port` within
// `deadline`. Null with the reason in `error`: kErrorNoMoreItems when nobody
// serves the address (as when no device is present), kErrorBadNetName for a
// name that does not resolve, kErrorTimeout when no answer came in time.
std::unique_ptr<device::Stream> Connect(const std::string& host, uint16_t port,
                                        device::Clock::time_point deadline, uint32_t& error);

}  // namespace norvex::platform::winsock_transport
