// device_model.h: the emulated machine behind the endpoint: its units, their
// state records and command handlers, the print memory, the parameter files,
// the faults to inject and the record of what the host sent. It turns one
// request frame into what the endpoint must do (reply, hold the reply back,
// disconnect). Its controls are those of every emulated machine
// (machine_controls.h); tests reach them through Emulator::Model(), and its
// command handlers through Emulator::LocalModel(). Every member locks the
// model's one mutex, so the serving thread and test threads may call it at
// the same time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "emu/device_types.h"
#include "emu/machine_controls.h"
#include "emu/print_memory.h"
#include "emu/units/para_files.h"
#include "emu/units/units.h"

namespace norvex::emu {

// What the endpoint does with one request frame.
struct Outcome {
  enum class Action {
    kReply,       // `frame` is the reply, ready `delayMs` from now
    kNoReply,     // the reply never comes
    kLateReply,   // `frame` comes `delayMs` after the CANCEL of the READ that waits for it
    kDisconnect,  // close the connection at once
  };
  Action action = Action::kReply;
  std::vector<uint8_t> frame;
  uint32_t delayMs = 0;
};

// The reply frame from `sender` to the host: magic, 0x01, sender, length
// word, command word, data, checksum. Data beyond kMaxFrameData is cut.
std::vector<uint8_t> BuildReplyFrame(uint8_t sender, uint16_t command, const std::vector<uint8_t>& data);
inline constexpr size_t kMaxFrameData = 0xFFF0;

// The emulated machine in this process. Its public members are the controls
// (MachineControls, documented there), the command handlers of a test's own,
// and the calls of the endpoint that serves it.
class DeviceModel final : public MachineControls, private units::UnitHost {
 public:
  explicit DeviceModel(const EmulatorOptions& options);
  DeviceModel(const DeviceModel&) = delete;
  DeviceModel& operator=(const DeviceModel&) = delete;

  // ---- Controls (machine_controls.h) ----------------------------------------
  void SetBoardPresent(uint8_t address, bool present) override;
  bool BoardPresent(uint8_t address) const override;
  void SetStateRecord(uint8_t address, uint16_t group, uint16_t item,
                      const std::vector<uint8_t>& bytes) override;
  std::vector<uint8_t> StateRecord(uint8_t address, uint16_t group, uint16_t item) const override;
  std::vector<std::vector<uint8_t>> ReceivedFrames() const override;
  std::vector<FunctionCall> FunctionCalls() const override;
  void ClearReceived() override;
  bool WaitForFrames(size_t count, std::chrono::milliseconds timeout) const override;
  std::vector<uint8_t> PrintMemory() const override;
  void ClearPrintMemory() override;
  void InjectFault(const Fault& fault) override;
  void ClearFaults() override;
  void InjectBulkWriteFault(const BulkWriteFault& fault) override;
  void ClearBulkWriteFaults() override;
  // The bank's controls lock the model themselves.
  units::ParaFileBank& ParaFiles() override { return m_paraFiles; }
  const units::ParaFileBank& ParaFiles() const override { return m_paraFiles; }
  uint64_t ConnectionsAccepted() const override;
  uint64_t BusyRefusals() const override;
  bool HostConnected() const override;
  bool WaitForHost(bool connected, std::chrono::milliseconds timeout) const override;

  // The bounds of ReceivedFrames() and FunctionCalls().
  static constexpr size_t kFrameHistory = 100000;
  static constexpr size_t kFrameHistoryBytes = 4u << 20;

  // Gives `command` to the unit at `address` a handler of the test's own,
  // in place of the built-in one; an empty handler restores the built-in.
  // Only a model in this process has them: a handler runs on the serving
  // thread with the model locked, and must not call the model.
  void SetCommandHandler(uint8_t address, uint16_t command, CommandHandler handler);

  // ---- Called by the endpoint --------------------------------------------
  // Records the request frame, dispatches it to the addressed unit and
  // applies the first matching fault.
  Outcome HandleFrame(const uint8_t* frame, size_t size);
  // Returns the bytes the print memory took.
  size_t AppendPrintData(const uint8_t* data, size_t size);
  // How to complete a bulk write of `size` bytes (print_memory.h).
  WritePlan PlanWrite(size_t size);
  void NoteConnection(bool granted);
  void SetHostConnected(bool connected);

 private:
  using RecordKey = std::tuple<uint8_t, uint16_t, uint16_t>;
  using HandlerKey = std::pair<uint8_t, uint16_t>;

  // ---- The units' view (units::UnitHost), with m_mu held -------------------
  std::vector<uint8_t>& Record(uint8_t address, uint16_t group, uint16_t item) override;
  void Handle(uint8_t address, uint16_t command, CommandHandler handler) override;
  void OnFunction(uint8_t address, uint16_t group, uint16_t item, units::FunctionEffect effect) override;
  void ResetPrintMemory() override { m_printMemory.Clear(); }

  // The built-in commands of every unit, a handler per (unit, command word).
  // They run with m_mu held and may use the state. Commands without a handler
  // are acknowledged.
  void InstallBuiltinHandlers();
  Reply Dispatch(const Request& request);
  Reply HandleStateQuery(const Request& request);
  Reply HandleFunctionCall(const Request& request);
  std::vector<uint8_t> RecordLocked(uint8_t address, uint16_t group, uint16_t item) const;
  bool PresentLocked(uint8_t address) const;
  // Takes one use of the first fault matching the frame; false when none.
  bool TakeFault(bool haveAddress, uint8_t address, bool haveCommand, uint16_t command, Fault& out);

  mutable std::mutex m_mu;
  mutable std::condition_variable m_changed;

  std::map<uint8_t, bool> m_present;
  std::map<RecordKey, std::vector<uint8_t>> m_records;
  std::map<HandlerKey, CommandHandler> m_builtin;
  std::map<HandlerKey, CommandHandler> m_custom;
  std::map<RecordKey, units::FunctionEffect> m_effects;
  std::deque<std::vector<uint8_t>> m_frames;
  size_t m_frameBytes = 0;     // the bytes of m_frames
  size_t m_framesCounted = 0;  // since ClearReceived, also those dropped
  std::deque<FunctionCall> m_calls;
  PrintMemoryBank m_printMemory;
  units::ParaFileBank m_paraFiles;
  std::deque<Fault> m_faults;
  uint64_t m_accepted = 0;
  uint64_t m_refused = 0;
  bool m_hostConnected = false;
};

}  // namespace norvex::emu
