// device_wire.cpp: message encoding and whole-message socket I/O.
#include "platform/posix/device_wire.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace norvex::wire {
namespace {

bool ReadExactly(int fd, uint8_t* out, size_t size) {
  while (size > 0) {
    ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string DeviceFolder() {
  const char* folder = std::getenv("NORVEX_DEVICE_DIR");
  return (folder && *folder) ? folder : "/tmp/norvex-devices";
}

bool IsKnownType(uint16_t type) {
  switch (type) {
    case kOpen:
    case kControl:
    case kControlDone:
    case kRead:
    case kReadDone:
    case kWrite:
    case kWriteDone:
    case kWriteData:
    case kCancel:
      return true;
    default:
      return false;
  }
}

void EncodeHeader(uint8_t* out, uint16_t type, uint32_t id, uint32_t payloadLength) {
  out[0] = static_cast<uint8_t>(kMagic);
  out[1] = static_cast<uint8_t>(kMagic >> 8);
  out[2] = static_cast<uint8_t>(type);
  out[3] = static_cast<uint8_t>(type >> 8);
  StoreU32(out + 4, id);
  StoreU32(out + 8, payloadLength);
}

bool DecodeHeader(const uint8_t* in, uint16_t& type, uint32_t& id, uint32_t& payloadLength) {
  const uint16_t magic = static_cast<uint16_t>(in[0] | (in[1] << 8));
  type = static_cast<uint16_t>(in[2] | (in[3] << 8));
  id = LoadU32(in + 4);
  payloadLength = LoadU32(in + 8);
  return magic == kMagic && IsKnownType(type) && payloadLength <= kMaxPayload;
}

bool Send(int fd, uint16_t type, uint32_t id, const void* first, size_t firstSize, const void* second,
          size_t secondSize) {
  // A longer payload cannot be told in the header (nor taken by a receiver).
  if (firstSize > kMaxPayload || secondSize > kMaxPayload - firstSize) return false;
  uint8_t header[kHeaderSize];
  EncodeHeader(header, type, id, static_cast<uint32_t>(firstSize + secondSize));
  struct iovec parts[3] = {{header, sizeof(header)},
                           {const_cast<void*>(first), firstSize},
                           {const_cast<void*>(second), secondSize}};
  int count = 3;
  struct iovec* next = parts;
  while (count > 0) {
    // MSG_NOSIGNAL: a closed peer is an error here, not a signal to the host.
    struct msghdr msg {};
    msg.msg_iov = next;
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    size_t sent = static_cast<size_t>(n);
    while (count > 0 && sent >= next->iov_len) {
      sent -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<uint8_t*>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
  return true;
}

bool Receive(int fd, Message& message) {
  uint8_t header[kHeaderSize];
  if (!ReadExactly(fd, header, sizeof(header))) return false;
  uint32_t length = 0;
  if (!DecodeHeader(header, message.type, message.id, length)) return false;
  message.payload.resize(length);
  return length == 0 || ReadExactly(fd, message.payload.data(), length);
}

}  // namespace norvex::wire
