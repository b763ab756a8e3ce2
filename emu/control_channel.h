// control_channel.h: the stream of a norvex-emu's control port
// (docs/emulator-control.md): its opening, and the framing of the requests
// and answers of control_messages.h on it. Both ends use it: the control
// server (control_server.h) and the platesetters made through it
// (control_client.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "emu/net.h"

namespace norvex::emu::control {

// The opening: the client sends the magic and its version; the server
// answers with the magic, a status (0, or kStatusOtherVersion) and its
// version, and closes the connection when the versions differ.
inline constexpr uint32_t kMagic = 0x4345564E;  // bytes 4E 56 45 43, "NVEC"
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kStatusOtherVersion = 1306;  // ERROR_REVISION_MISMATCH
inline constexpr size_t kOpeningBytes = 8;
inline constexpr size_t kOpeningAnswerBytes = 12;
// A request: u32 its whole size, u32 operation, u32 platesetter id, the
// arguments. Anything else (a size below 12 or above the limit) ends the
// connection.
inline constexpr size_t kRequestHeader = 12;
inline constexpr size_t kMaxRequestBytes = (16u << 20) + kRequestHeader;
// An answer (control_messages.h): u32 status, u32 its whole size, the body.
inline constexpr size_t kMaxAnswerBytes = 128u << 20;

// Reads exactly `size` bytes, waiting for them (with `wake`, which Wake()
// interrupts) until `deadline`, or until `stop` is set. False when they did
// not all come: the end of the stream, an error, the deadline, a stop.
bool ReceiveExactly(net::SocketId socket, net::WakeSet& wake, void* buffer, size_t size,
                    std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* stop = nullptr);

inline void StoreU32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline uint32_t LoadU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace norvex::emu::control
