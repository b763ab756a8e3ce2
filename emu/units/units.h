// units.h: the built-in behaviour of the emulated units, installed into the
// device model: the commands of the main unit, the laser head board and the
// HS boards, their state records at their real sizes, and what the commands
// and function calls change in those records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emu/device_types.h"

namespace norvex::emu::units {

using Bytes = std::vector<uint8_t>;

// Error values of the units' own checks (first word of the error reply).
// A command's data is not the size the command takes.
inline constexpr uint16_t kErrorBadLength = 0x00E4;
// A parameter is out of range (motor, valve, channel or counter number).
inline constexpr uint16_t kErrorBadParameter = 0x00E5;

// What a function call (group, item) does besides being recorded; it gets
// the parameter bytes after the selector and returns the reply.
using FunctionEffect = std::function<Reply(const Bytes& params)>;

// The device model as the units see it. Every call is made with the model
// locked: at installation and from inside handlers.
class UnitHost {
 public:
  virtual ~UnitHost() = default;
  // The record that a state query of (address, group, item) returns; a
  // record never set is created as 4 zero bytes.
  virtual Bytes& Record(uint8_t address, uint16_t group, uint16_t item) = 0;
  // The built-in handler of `command` for the unit at `address`.
  virtual void Handle(uint8_t address, uint16_t command, CommandHandler handler) = 0;
  // The effect of the function call (group, item) of the unit at `address`.
  virtual void OnFunction(uint8_t address, uint16_t group, uint16_t item, FunctionEffect effect) = 0;
  // Empties the main unit's print memory and moves its read position back to
  // the start (the page reset does this).
  virtual void ResetPrintMemory() = 0;
};

void InstallMainUnit(UnitHost& host);
void InstallLaserHead(UnitHost& host);
void InstallHsBoards(UnitHost& host);

// `text` in a record of `size` bytes, zero-padded (cut when longer); with
// size 0, padded with at least one zero to a multiple of 4 bytes.
Bytes TextRecord(const std::string& text, size_t size = 0);

// Little-endian fields of records and requests. Put32/Put16 grow the record
// when it is shorter than the field's end.
uint32_t Get32(const Bytes& bytes, size_t offset);
uint16_t Get16(const Bytes& bytes, size_t offset);
void Put32(Bytes& bytes, size_t offset, uint32_t value);
void Put16(Bytes& bytes, size_t offset, uint16_t value);
// Copies `size` bytes of `data` to `offset`, growing the record as needed.
void PutBytes(Bytes& bytes, size_t offset, const uint8_t* data, size_t size);

// A handler that checks the request's data size before running `act`
// (kErrorBadLength otherwise).
CommandHandler Sized(size_t requestLength, std::function<Reply(const Bytes& data)> act);

}  // namespace norvex::emu::units
