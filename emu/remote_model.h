// remote_model.h: the controls of a machine that lives in another process,
// each a request that the process carries out on its model
// (control_messages.h): the stand-in driver's platesetters under wine
// (windows/driver/emulator_client.cpp) and a norvex-emu's through its
// control port (control_client.h). Handlers of a test's own are not offered:
// they would run in the other process.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "emu/control_messages.h"
#include "emu/machine_controls.h"

namespace norvex::emu {

// Sends one operation on the platesetter with its arguments (as a wait when
// `wait` is set) and gives the answer's body, empty when the request failed.
using RemoteCall =
    std::function<std::vector<uint8_t>(control::Op op, const control::Writer& args, bool wait)>;

class RemoteParaFiles final : public ParaFileControls {
 public:
  explicit RemoteParaFiles(RemoteCall call) : m_call(std::move(call)) {}

  void SetHeader(uint8_t address, const ParaFileHeader& header) override;
  ParaFileHeader Header(uint8_t address) const override;
  void SetSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) override;
  void SetSection(uint8_t address, uint32_t section, const std::vector<uint8_t>& bytes) override;
  std::vector<uint8_t> Section(uint8_t address, uint32_t section) const override;
  std::vector<uint8_t> SavedSection(uint8_t address, uint32_t section) const override;
  std::vector<ParaFileEvent> Events() const override;
  std::vector<ParaFileSave> Saves() const override;
  void ClearEvents() override;
  void Refuse(uint8_t address, uint16_t command, uint16_t errorValue, int count = 1) override;

 private:
  RemoteCall m_call;
};

class RemoteModel final : public MachineControls {
 public:
  explicit RemoteModel(const RemoteCall& call) : m_call(call), m_paraFiles(call) {}

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
  RemoteParaFiles& ParaFiles() override { return m_paraFiles; }
  const RemoteParaFiles& ParaFiles() const override { return m_paraFiles; }
  uint64_t ConnectionsAccepted() const override;
  uint64_t BusyRefusals() const override;
  bool HostConnected() const override;
  bool WaitForHost(bool connected, std::chrono::milliseconds timeout) const override;

 private:
  RemoteCall m_call;
  RemoteParaFiles m_paraFiles;
};

}  // namespace norvex::emu
