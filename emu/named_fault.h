// named_fault.h: a fault of the device model named in text, for programs that
// take it on their command line (norvex-emu --fault, norvexctl's hidden
// --emu-fault), so that a host's handling of a failing machine can be tried
// without a test harness around the emulator:
//   KIND[=VALUE][@ADDRESS][/COMMAND][*COUNT]
// KIND is one of bulk-stall (bulk writes never complete), bulk-partial=N
// (only the first N bytes of each bulk write are taken), bulk-slow=MS, or a
// fault of the replies: error=VALUE, checksum, wrong-length, wrong-size,
// wrong-command, noreply, wrong-unit, disconnect, delay=MS; @ADDRESS limits a
// reply fault to one unit (0x10, 0x42, 0x20, 0x21), /COMMAND to the requests
// of one command word (0x0842, the print memory's read). Numbers are decimal
// or 0x hex. The fault lasts for COUNT requests (or bulk writes) that it
// matches, else until the model's faults are cleared. Several faults may be
// named, separated by ','; a request takes the first that matches it, so
// that "delay=0/0x0842*1,noreply/0x0842" answers the first read and no other.
#pragma once

#include <string>

#include "emu/machine_controls.h"

namespace norvex::emu {

// Injects the faults that `text` names into `model`, in their order; false,
// with nothing injected, for text of which a part names no fault.
bool InjectNamedFault(MachineControls& model, const std::string& text);

}  // namespace norvex::emu
