// win32_network.h: what the Windows driver tells the window system about
// the handles whose device is reached over the network (a device endpoint
// over Winsock), for the removal notification that no kernel driver sends.
#pragma once

#include "platform/platform.h"

namespace norvex::platform::win32 {

// Whether `device` is an open handle of a network device.
bool IsNetworkDevice(Handle device);
// Moves what can be moved without waiting on its connection (late replies,
// the end of the connection) and says whether it still stands.
bool NetworkDeviceAlive(Handle device);

}  // namespace norvex::platform::win32
