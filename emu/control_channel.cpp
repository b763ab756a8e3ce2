// control_channel.cpp: reading a control port's stream (control_channel.h).
#include "emu/control_channel.h"

#include <algorithm>

namespace norvex::emu::control {

bool ReceiveExactly(net::SocketId socket, net::WakeSet& wake, void* buffer, size_t size,
                    std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* stop) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < size) {
    if (stop != nullptr && stop->load()) return false;
    const long n = net::ReceiveSome(socket, out + got, size - got);
    if (n == 0) return false;  // the end of the stream, or an error
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    bool readable = false;
    wake.Wait(&socket, &readable, 1, static_cast<int>(std::min<decltype(left.count())>(left.count(), 60000)));
  }
  return true;
}

}  // namespace norvex::emu::control
