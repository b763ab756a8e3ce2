// unix_transport.h: the Unix-socket transport: the device folder, whose
// Unix sockets are the present devices, and connections to them
// (docs/device-protocol.md, "Endpoints and presence").
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/device/stream.h"

namespace norvex::platform::unix_transport {

// The device folder when no address names one: $NORVEX_DEVICE_DIR, else a
// folder of the user's own: $XDG_RUNTIME_DIR/norvex, else
// /tmp/norvex-<uid>. Without a trailing '/'.
std::string DefaultDeviceFolder();

// Makes `folder` (mode 0700) when it is missing. True when it exists.
bool MakeDeviceFolder(const std::string& folder);

// 0 when `path` (a folder or an endpoint, links followed) belongs to this
// process's user and others may not write it; kErrorInvalidOwner when not
// (another user could have put it there); kErrorNoMoreItems when missing.
uint32_t CheckOwnership(const std::string& path);

// The names of the Unix sockets in `folder` that do not begin with a dot, in
// byte order. Empty when the folder is missing or cannot be read.
std::vector<std::string> ListEndpoints(const std::string& folder);

// Connects to the endpoint at `path` within `deadline`.
std::unique_ptr<device::Stream> Connect(const std::string& path, device::Clock::time_point deadline,
                                        uint32_t& error);

}  // namespace norvex::platform::unix_transport
