// standin_protocol.h: the private control requests of the platesetter
// stand-in driver (windows/driver), shared by the driver and its clients (the
// emulator controls of the tests, norvex-standin.exe).
//
// The stand-in's control device "\\.\NorvexStandIn" takes METHOD_BUFFERED
// requests: the emulator's control requests (emu/control_messages.h). The
// input is an operation word, a platesetter id and the operation's
// arguments; the output is a status word (0: done), the size of the whole
// answer, and the answer. An output buffer that is too small gets the status
// kAnswerTooLong with the size needed, so that the client asks again with
// room enough.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "emu/control_messages.h"

namespace norvex::standin {

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr uint32_t BufferedControlCode(uint32_t function) { return (0x22u << 16) | (function << 2); }
// An operation on the emulated machines, answered at once.
inline constexpr uint32_t kIoctlOperation = BufferedControlCode(0x900);
// A wait (frames received, host connected), answered when it holds or at
// its time-out.
inline constexpr uint32_t kIoctlWait = BufferedControlCode(0x901);
// Sent to a platesetter's own handle: the answer is the 64-bit number of the
// open that the handle belongs to (0 for an open that the device refused).
inline constexpr uint32_t kIoctlIdentifyOpen = BufferedControlCode(0x902);

inline constexpr wchar_t kControlDeviceName[] = L"\\Device\\NorvexStandIn";
inline constexpr wchar_t kControlLinkName[] = L"\\DosDevices\\NorvexStandIn";
inline constexpr char kControlPath[] = "\\\\.\\NorvexStandIn";
// The root device that the driver serves and its hardware id (the INF's).
inline constexpr char kRootInstanceId[] = "ROOT\\NORVEXSTANDIN\\0";
inline constexpr char kRootHardwareId[] = "root\\norvexstandin";

// The operations, answers and records are the emulator's control requests
// (emu/control_messages.h), which the rack carries out.
using emu::control::GetBulkWriteFault;
using emu::control::GetFault;
using emu::control::GetFunctionCall;
using emu::control::GetList;
using emu::control::GetOptions;
using emu::control::GetParaFileEvent;
using emu::control::GetParaFileHeader;
using emu::control::GetParaFileSave;
using emu::control::kAnswerBadRequest;
using emu::control::kAnswerFailed;
using emu::control::kAnswerHeader;
using emu::control::kAnswerNoMachine;
using emu::control::kAnswerOk;
using emu::control::kAnswerTooLong;
using emu::control::Op;
using emu::control::Put;
using emu::control::PutList;
using emu::control::Reader;
using emu::control::Writer;

}  // namespace norvex::standin
