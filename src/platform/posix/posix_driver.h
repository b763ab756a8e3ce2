// posix_driver.h: what the POSIX driver tells the rest of the POSIX
// platform code (the window stand-in) and its tests beyond the Driver
// interface.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace norvex::platform {

// The endpoint behind an open handle of DeviceDriver(): the socket's path,
// or the address ("tcp:HOST:PORT") of a network device; "" for a handle
// that is not open. The window stand-in uses it to tell the removal of the
// open device.
std::string PosixDeviceEndpoint(Handle device);

// For a handle whose device is reached over the network: moves what can be
// moved without waiting (late replies, the end of the connection) and says
// whether the connection still stands; `pollFd` is its socket, which the
// window stand-in polls for news. False with -1 for other handles.
bool PosixNetworkDeviceAlive(Handle device, int& pollFd);

// How many DONE messages the driver has dropped since the process started
// because their transfer was no longer pending (late replies after a cancel,
// duplicates, ids that were never used).
uint64_t DroppedLateCompletions();

}  // namespace norvex::platform
