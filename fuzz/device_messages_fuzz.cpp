// device_messages_fuzz.cpp: the parser that cuts the byte stream of a device
// endpoint into messages, on any bytes, fed in pieces of any size.
#include <cstddef>
#include <cstdint>

#include "wire/device_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the size of the pieces the stream arrives in.
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  ++data;
  --size;
  norvex::wire::MessageParser parser;
  size_t handedOut = 0;
  size_t fed = 0;
  while (fed < size) {
    const size_t n = size - fed < piece ? size - fed : piece;
    parser.Feed(data + fed, n);
    fed += n;
    norvex::wire::Message message;
    norvex::wire::MessageParser::Result result;
    while ((result = parser.Next(message)) == norvex::wire::MessageParser::Result::kMessage) {
      if (message.payload.size() > norvex::wire::kMaxPayload) __builtin_trap();
      if (!norvex::wire::IsKnownType(message.type)) __builtin_trap();
      handedOut += norvex::wire::kHeaderSize + message.payload.size();
    }
    if (result == norvex::wire::MessageParser::Result::kBadHeader) return 0;
    // Nothing is lost or made up: what was fed is handed out or still kept.
    if (handedOut + parser.Buffered() != fed) __builtin_trap();
  }
  return 0;
}
