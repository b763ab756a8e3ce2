// machine_controls.h: the controls of an emulated platesetter, as a test or a
// tool uses them: its units and records, what the host sent, the print
// memory, faults, parameter files and counters. One interface, so that the
// compiler keeps every machine alike: the model in this process
// (DeviceModel, device_model.h) and a model in another process reached by
// requests (RemoteModel, remote_model.h: the stand-in driver under wine, or
// a norvex-emu through its control port). Emulator::Model() gives one.
// Every member is safe to call from any thread while the machine serves a
// host. A control that crosses to another process and gets no answer does
// nothing and gives zeros (the Emulator's LastError() says why).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "emu/device_types.h"

namespace norvex::emu {

// The units' parameter files (0x10, 0x42, 0x20, 0x21): headers, size tables,
// sections, saves and refusals.
class ParaFileControls {
 public:
  // The header and size-table records can be set to anything, wrong ones
  // included. At start every unit reports its true header (format word,
  // section count, read chunk 250 and write chunk 248 words) and size
  // table, and holds sections of counting bytes; section 6 of an HS board
  // has 16 words.
  virtual void SetHeader(uint8_t address, const ParaFileHeader& header) = 0;
  virtual ParaFileHeader Header(uint8_t address) const = 0;
  // The size table (words per section); the sections are resized to match
  // (zero-filled when they grow), except to more than 4096 words (what a
  // position word reaches): such a size is only reported.
  virtual void SetSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) = 0;
  virtual void SetSection(uint8_t address, uint32_t section, const std::vector<uint8_t>& bytes) = 0;
  virtual std::vector<uint8_t> Section(uint8_t address, uint32_t section) const = 0;
  // The section as the last save that included it left it (empty: never saved).
  virtual std::vector<uint8_t> SavedSection(uint8_t address, uint32_t section) const = 0;
  // The requests the units took, in order, and the saves they carried out.
  virtual std::vector<ParaFileEvent> Events() const = 0;
  virtual std::vector<ParaFileSave> Saves() const = 0;
  virtual void ClearEvents() = 0;
  // The next `count` requests `command` (0xC080, 0xC082, 0xC0EE) to the unit
  // at `address` are refused with `errorValue` and change nothing
  // (Fault::kUntilCleared: every one).
  // (Every implementation gives `count` the same default.)
  virtual void Refuse(uint8_t address, uint16_t command, uint16_t errorValue, int count = 1) = 0;

 protected:
  ~ParaFileControls() = default;
};

class MachineControls {
 public:
  // ---- Units and their state ---------------------------------------------
  virtual void SetBoardPresent(uint8_t address, bool present) = 0;
  virtual bool BoardPresent(uint8_t address) const = 0;
  // The record that a state query of (address, group, item) returns. A
  // record never set is 4 zero bytes; the units start with theirs
  // (unit_records.h).
  virtual void SetStateRecord(uint8_t address, uint16_t group, uint16_t item,
                              const std::vector<uint8_t>& bytes) = 0;
  virtual std::vector<uint8_t> StateRecord(uint8_t address, uint16_t group, uint16_t item) const = 0;

  // ---- What the host sent ------------------------------------------------
  // The request frames received (the bytes after the control code), in
  // order: the latest 100000 of them, at most 4 MiB, so that a
  // long-running device stays within bounds.
  virtual std::vector<std::vector<uint8_t>> ReceivedFrames() const = 0;
  // The function calls received, in order (the latest 100000).
  virtual std::vector<FunctionCall> FunctionCalls() const = 0;
  // Forgets the received frames and function calls.
  virtual void ClearReceived() = 0;
  // Waits until at least `count` frames were received since the last
  // ClearReceived() (also those the history no longer keeps); false at the
  // time-out.
  virtual bool WaitForFrames(size_t count, std::chrono::milliseconds timeout) const = 0;
  // The bulk data written, in order.
  virtual std::vector<uint8_t> PrintMemory() const = 0;
  // Empties the print memory and moves its read position back to 0.
  virtual void ClearPrintMemory() = 0;

  // ---- Faults (device_types.h) ---------------------------------------------
  virtual void InjectFault(const Fault& fault) = 0;
  virtual void ClearFaults() = 0;
  virtual void InjectBulkWriteFault(const BulkWriteFault& fault) = 0;
  virtual void ClearBulkWriteFaults() = 0;

  // ---- Parameter files -------------------------------------------------------
  virtual ParaFileControls& ParaFiles() = 0;
  virtual const ParaFileControls& ParaFiles() const = 0;

  // ---- Counters ------------------------------------------------------------
  // Connections granted to a host (OPEN status 0), since the machine was made.
  virtual uint64_t ConnectionsAccepted() const = 0;
  // Connections refused with OPEN status 5, since the machine was made.
  virtual uint64_t BusyRefusals() const = 0;
  // Whether a host holds the device now.
  virtual bool HostConnected() const = 0;
  // Waits until HostConnected() is `connected`; false at the time-out.
  virtual bool WaitForHost(bool connected, std::chrono::milliseconds timeout) const = 0;

 protected:
  ~MachineControls() = default;
};

}  // namespace norvex::emu
