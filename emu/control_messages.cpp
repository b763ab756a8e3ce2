// control_messages.cpp: the machine's controls carried out from requests
// (ApplyMachineControl, control_messages.h). Every request's arguments are
// read whole before the control runs, so that one cut short changes nothing.
#include "emu/control_messages.h"

namespace norvex::emu::control {
namespace {

// Runs `act` when every argument was there.
template <typename Act>
bool Then(Reader& args, Act act) {
  if (!args.ok()) return false;
  act();
  return true;
}

bool ApplyUnitControl(Op op, MachineControls& machine, Reader& r, Writer& out) {
  switch (op) {
    case Op::kSetBoardPresent: {
      const uint8_t address = r.U8();
      const bool present = r.U8() != 0;
      return Then(r, [&] { machine.SetBoardPresent(address, present); });
    }
    case Op::kBoardPresent: {
      const uint8_t address = r.U8();
      return Then(r, [&] { out.U8(machine.BoardPresent(address)); });
    }
    case Op::kSetStateRecord: {
      const uint8_t address = r.U8();
      const uint16_t group = r.U16();
      const uint16_t item = r.U16();
      const std::vector<uint8_t> bytes = r.Bytes();
      return Then(r, [&] { machine.SetStateRecord(address, group, item, bytes); });
    }
    case Op::kStateRecord: {
      const uint8_t address = r.U8();
      const uint16_t group = r.U16();
      const uint16_t item = r.U16();
      return Then(r, [&] { out.Bytes(machine.StateRecord(address, group, item)); });
    }
    case Op::kInjectFault: {
      const Fault fault = GetFault(r);
      return KnownKind(fault) && Then(r, [&] { machine.InjectFault(fault); });
    }
    case Op::kInjectBulkWriteFault: {
      const BulkWriteFault fault = GetBulkWriteFault(r);
      return KnownKind(fault) && Then(r, [&] { machine.InjectBulkWriteFault(fault); });
    }
    default:
      return false;
  }
}

// The controls without arguments.
bool ApplyPlainControl(Op op, MachineControls& machine, Writer& out) {
  switch (op) {
    case Op::kReceivedFrames:
      PutList(out, machine.ReceivedFrames());
      return true;
    case Op::kFunctionCalls:
      PutList(out, machine.FunctionCalls());
      return true;
    case Op::kClearReceived:
      machine.ClearReceived();
      return true;
    case Op::kPrintMemory:
      out.Bytes(machine.PrintMemory());
      return true;
    case Op::kClearPrintMemory:
      machine.ClearPrintMemory();
      return true;
    case Op::kClearFaults:
      machine.ClearFaults();
      return true;
    case Op::kClearBulkWriteFaults:
      machine.ClearBulkWriteFaults();
      return true;
    case Op::kConnectionsAccepted:
      out.U64(machine.ConnectionsAccepted());
      return true;
    case Op::kBusyRefusals:
      out.U64(machine.BusyRefusals());
      return true;
    case Op::kHostConnected:
      out.U8(machine.HostConnected());
      return true;
    case Op::kParaFileEvents:
      PutList(out, machine.ParaFiles().Events());
      return true;
    case Op::kParaFileSaves:
      PutList(out, machine.ParaFiles().Saves());
      return true;
    case Op::kClearParaFileEvents:
      machine.ParaFiles().ClearEvents();
      return true;
    default:
      return false;
  }
}

bool ApplyParaFileControl(Op op, ParaFileControls& files, Reader& r, Writer& out) {
  switch (op) {
    case Op::kSetParaFileHeader: {
      const uint8_t address = r.U8();
      const ParaFileHeader header = GetParaFileHeader(r);
      return Then(r, [&] { files.SetHeader(address, header); });
    }
    case Op::kGetParaFileHeader: {
      const uint8_t address = r.U8();
      return Then(r, [&] { Put(out, files.Header(address)); });
    }
    case Op::kSetParaFileSizes: {
      const uint8_t address = r.U8();
      const std::vector<uint32_t> sizes = GetList<uint32_t>(r, [](Reader& in) { return in.U32(); });
      return Then(r, [&] { files.SetSizes(address, sizes); });
    }
    case Op::kSetParaFileSection: {
      const uint8_t address = r.U8();
      const uint32_t section = r.U32();
      const std::vector<uint8_t> bytes = r.Bytes();
      return Then(r, [&] { files.SetSection(address, section, bytes); });
    }
    case Op::kParaFileSection:
    case Op::kSavedParaFileSection: {
      const uint8_t address = r.U8();
      const uint32_t section = r.U32();
      return Then(r, [&] {
        out.Bytes(op == Op::kParaFileSection ? files.Section(address, section)
                                             : files.SavedSection(address, section));
      });
    }
    case Op::kRefuseParaFile: {
      const uint8_t address = r.U8();
      const uint16_t command = r.U16();
      const uint16_t value = r.U16();
      const int count = static_cast<int>(r.U32());
      return Then(r, [&] { files.Refuse(address, command, value, count); });
    }
    default:
      return false;
  }
}

}  // namespace

bool ApplyMachineControl(Op op, MachineControls& machine, Reader& args, Writer& out) {
  return ApplyPlainControl(op, machine, out) || ApplyUnitControl(op, machine, args, out) ||
         ApplyParaFileControl(op, machine.ParaFiles(), args, out);
}

}  // namespace norvex::emu::control
