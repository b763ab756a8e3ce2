// fake_platform.h: a scripted Driver and a recording WindowSystem for unit
// tests of the link, the transaction and the connection.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace norvex::testing {

// A device that answers from a script: every control request is recorded,
// every read takes the next scripted reply.
class FakeDriver : public platform::Driver {
 public:
  struct Reply {
    uint32_t result = 0;
    std::vector<uint8_t> frame;
  };

  std::mutex mutex;
  bool present = true;
  uint32_t openError = platform::kErrorNoMoreItems;
  std::vector<platform::Handle> opened;
  std::vector<platform::Handle> closed;
  std::vector<std::vector<uint8_t>> written;  // request frames, in order
  std::deque<Reply> replies;                  // empty: the read times out (997)
  uint32_t writeResult = 0;
  uint32_t lastTimeout = 0;
  platform::Handle nextHandle = 0x100;
  std::function<void()> duringRead;  // runs inside Read, before it answers

  void QueueReply(std::vector<uint8_t> frame) {
    std::lock_guard<std::mutex> hold(mutex);
    replies.push_back({0, std::move(frame)});
  }

  platform::Handle OpenInterface(const platform::Guid&, uint32_t, uint32_t& error) override {
    std::lock_guard<std::mutex> hold(mutex);
    if (!present) {
      error = openError;
      return platform::kInvalidHandle;
    }
    error = 0;
    nextHandle += 4;
    opened.push_back(nextHandle);
    return nextHandle;
  }
  uint32_t Close(platform::Handle device) override {
    std::lock_guard<std::mutex> hold(mutex);
    closed.push_back(device);
    return 0;
  }
  uint32_t ControlRequest(platform::Handle, uint32_t ioctl, const void* data, uint32_t size,
                          uint32_t timeoutMs) override {
    std::lock_guard<std::mutex> hold(mutex);
    if (ioctl != platform::kIoctlSendFrame) return platform::kErrorInvalidParameter;
    lastTimeout = timeoutMs;
    if (writeResult != 0) return writeResult;
    const auto* bytes = static_cast<const uint8_t*>(data);
    written.emplace_back(bytes, bytes + size);
    return 0;
  }
  uint32_t Read(platform::Handle, void* buffer, uint32_t capacity, uint32_t& bytesRead,
                uint32_t timeoutMs) override {
    if (duringRead) duringRead();
    std::lock_guard<std::mutex> hold(mutex);
    lastTimeout = timeoutMs;
    bytesRead = 0;
    if (replies.empty()) return platform::kErrorIoPending;
    Reply reply = std::move(replies.front());
    replies.pop_front();
    if (reply.result != 0) return reply.result;
    bytesRead = static_cast<uint32_t>(std::min<size_t>(reply.frame.size(), capacity));
    std::copy(reply.frame.begin(), reply.frame.begin() + bytesRead, static_cast<uint8_t*>(buffer));
    return 0;
  }
  // Bulk writes land in `bulk` at once; CompleteWrite reports them.
  std::vector<uint8_t> bulk;
  uint32_t bulkResult = 0;
  PendingWrite StartWrite(platform::Handle, const void* data, uint32_t size, uint32_t& error) override {
    std::lock_guard<std::mutex> hold(mutex);
    const auto* bytes = static_cast<const uint8_t*>(data);
    bulk.insert(bulk.end(), bytes, bytes + size);
    lastBulkSize = size;
    error = 0;
    return 1;
  }
  uint32_t CompleteWrite(PendingWrite, uint32_t, uint32_t& transferred) override {
    std::lock_guard<std::mutex> hold(mutex);
    transferred = bulkResult == 0 ? lastBulkSize : 0;
    return bulkResult;
  }
  uint32_t lastBulkSize = 0;
};

// (bulk writes: see FakeDriver::StartWrite)
// Records what the connection registers and hooks; CallNextHook counts.
class FakeWindowSystem : public platform::WindowSystem {
 public:
  struct HandleRegistration {
    platform::Window window;
    platform::Handle device;
    platform::Registration parent;
    platform::Registration id;  // what the registration returned
  };
  std::vector<platform::Window> interfaceRegistrations;
  std::vector<HandleRegistration> handleRegistrations;
  std::vector<platform::Registration> unregistered;
  std::vector<platform::HookProcedure> hooks;
  std::vector<platform::Hook> removedHooks;
  int nextHookCalls = 0;
  uintptr_t nextId = 0x5000;

  platform::Registration RegisterInterfaceNotification(platform::Window window,
                                                       const platform::Guid&) override {
    interfaceRegistrations.push_back(window);
    return NewId();
  }
  platform::Registration RegisterHandleNotification(platform::Window window, platform::Handle device,
                                                    platform::Registration parent,
                                                    const platform::Guid&) override {
    handleRegistrations.push_back({window, device, parent, NewId()});
    return handleRegistrations.back().id;
  }
  // The handle registrations not removed again.
  std::vector<HandleRegistration> LiveHandleRegistrations() const {
    std::vector<HandleRegistration> live;
    for (const HandleRegistration& r : handleRegistrations) {
      if (std::find(unregistered.begin(), unregistered.end(), r.id) == unregistered.end()) live.push_back(r);
    }
    return live;
  }
  bool UnregisterNotification(platform::Registration registration) override {
    unregistered.push_back(registration);
    return true;
  }
  platform::Hook InstallHook(platform::HookProcedure procedure) override {
    hooks.push_back(procedure);
    return NewId();
  }
  bool RemoveHook(platform::Hook hook) override {
    removedHooks.push_back(hook);
    return true;
  }
  intptr_t CallNextHook(platform::Hook, int, uintptr_t, intptr_t) override {
    ++nextHookCalls;
    return 0x77;
  }

 private:
  void* NewId() {
    nextId += 4;
    return reinterpret_cast<void*>(nextId);
  }
};

}  // namespace norvex::testing
