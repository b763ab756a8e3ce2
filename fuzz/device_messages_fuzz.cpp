// device_messages_fuzz.cpp: the driver's reading of messages from a device
// endpoint, on any byte stream a device can send.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "platform/posix/device_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return 0;
  // Small inputs fit the socket buffer; larger ones are cut to what fits.
  const size_t limit = size < 100000 ? size : 100000;
  ssize_t written = ::write(ends[0], data, limit);
  ::close(ends[0]);
  if (written >= 0) {
    norvex::wire::Message message;
    while (norvex::wire::Receive(ends[1], message)) {
      if (message.payload.size() > norvex::wire::kMaxPayload) __builtin_trap();
      if (!norvex::wire::IsKnownType(message.type)) __builtin_trap();
    }
  }
  ::close(ends[1]);
  return 0;
}
