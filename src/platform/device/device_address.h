// device_address.h: the device address the host's configuration names
// (the text and its parsing: wire/device_address.h). The text comes from
// NORVEX_DEVICE, else from the key Address in the section [Device] of the
// host's Varnock.ini; it is read at every open and by the window systems'
// watches, so that a host may set it before Norvex_Init.
#pragma once

#include "platform/platform.h"
#include "wire/device_address.h"

namespace norvex::platform::device {

using wire::DeviceAddress;

// The address that `host`'s configuration names now.
DeviceAddress ConfiguredDeviceAddress(HostEnvironment& host);

}  // namespace norvex::platform::device
