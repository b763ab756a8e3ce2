// device_types.h: the records and constants of the emulated platesetter that
// its controls (machine_controls.h, emulator.h) and the requests of other
// processes (control_messages.h) share: unit addresses, command words, transfer
// statuses, options, faults, requests and replies, parameter-file events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace norvex::emu {

// Unit addresses (the address byte of a frame).
inline constexpr uint8_t kMainUnit = 0x10;
inline constexpr uint8_t kHsBoard0 = 0x20;
inline constexpr uint8_t kHsBoard1 = 0x21;
inline constexpr uint8_t kLaserHead = 0x42;

// Command and reply words with a fixed meaning.
inline constexpr uint16_t kStateQuery = 0xC0D0;
inline constexpr uint16_t kStateReply = 0xC0D1;
inline constexpr uint16_t kFunctionCall = 0xC0D8;
inline constexpr uint16_t kReplyAck = 0x01C0;
inline constexpr uint16_t kReplyError = 0x01C1;

// The control code that carries a request frame.
inline constexpr uint32_t kFrameControlCode = 0x222002;

// Error values that the emulator itself sends in error replies.
// A request frame that is not well formed (short, wrong magic, sender byte
// not the host, length word not matching the bytes, odd data length, longer
// than 512 bytes, wrong checksum); answered by the main unit.
inline constexpr uint16_t kErrorBadFrame = 0x00E1;
// The addressed board is not present; answered by the main unit.
inline constexpr uint16_t kErrorNoSuchBoard = 0x00E2;
// A state query or function call with fewer than 4 data bytes (no selector).
inline constexpr uint16_t kErrorNoSelector = 0x00E3;

// Transfer status values (Windows system error numbers).
inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusInvalidFunction = 1;  // CONTROL with another control code
inline constexpr uint32_t kStatusBusy = 5;             // OPEN: another host has the device
inline constexpr uint32_t kStatusInvalidParameter = 87;
inline constexpr uint32_t kStatusMoreData = 234;  // READ: the reply is longer than the capacity
inline constexpr uint32_t kStatusCancelled = 995;

struct EmulatorOptions {
  // The device folder; empty means where a library of this process looks
  // when the emulator is made: the folder or TCP address that NORVEX_DEVICE
  // names (local:FOLDER, tcp:HOST:PORT), else $NORVEX_DEVICE_DIR, else the
  // user's own folder ($XDG_RUNTIME_DIR/norvex, else /tmp/norvex-<uid>).
  std::string folder;
  // The socket's file name inside the folder; the platesetter's name.
  std::string name = "platesetter-0";
  // Which boards are present. The main unit always is.
  bool laserHead = true;
  bool hsBoard0 = true;
  bool hsBoard1 = true;
  // HOST:PORT to serve over TCP instead of a Unix socket (port 0: the
  // system picks one at the first Plug(), kept for later ones).
  std::string listen = "";
  // Where the machine lives (emulator.h): empty means $NORVEX_EMU_CONTROL
  // when set, else this process (in a Windows test program: the stand-in
  // driver); "tcp:HOST:PORT" a norvex-emu's control port, where the
  // platesetter is made (docs/emulator-control.md).
  std::string control = "";
};

enum class FaultKind {
  // An error reply (0x1C1) with `value` from the unit that answers.
  kErrorReply,
  // The reply's checksum word is wrong: XOR `value`, or plus 1 when `value` is 0.
  kBadChecksum,
  // The reply's length word disagrees with the bytes sent: it is `value`, or
  // the true length word + 2 when `value` is 0.
  kWrongLength,
  // A well-formed reply whose data has another size: `value` bytes (cut or
  // padded with zeros), or 4 more zero bytes when `value` is 0.
  kWrongReplySize,
  // A well-formed reply with the command word `value`, or the right one
  // + 0x100 when `value` is 0.
  kWrongCommand,
  // CONTROL_DONE comes but the reply never does: a READ stays pending until
  // it is cancelled (status 995) or a new CONTROL brings a reply.
  kNoReply,
  // The reply is held back; the CANCEL of a READ waiting for it is ignored,
  // and that READ completes `delayMs` after the CANCEL with status 0 and the
  // real reply. The connection stays open.
  kLateReply,
  // A well-formed reply from another unit: address byte `value`, or when
  // `value` is 0 another board (0x42, or 0x20 when the answer is from 0x42).
  kWrongUnit,
  // The connection is closed when the frame arrives (no CONTROL_DONE). The
  // frame is recorded, but no unit acts on it.
  kDisconnect,
  // The right reply, ready only `delayMs` after the frame arrived.
  kDelay,
};

// A fault applies to the next `count` request frames (exchanges) that match
// its filters; a count below 1 (kUntilCleared) applies it until ClearFaults().
// When several faults match a frame, the one injected first applies alone.
// `delayMs` delays the reply of every kind but kNoReply and kDisconnect; for
// kLateReply it is the time from the CANCEL to the late completion.
struct Fault {
  static constexpr int kUntilCleared = -1;
  FaultKind kind = FaultKind::kErrorReply;
  uint16_t value = 0;
  int count = 1;
  std::optional<uint16_t> commandFilter = std::nullopt;  // the request's command word
  std::optional<uint8_t> addressFilter = std::nullopt;   // the request's address byte
  uint32_t delayMs = 0;
};

// How bulk writes (WRITE) complete, for the next `count` of them
// (Fault::kUntilCleared: until ClearBulkWriteFaults()).
enum class BulkWriteFaultKind {
  // The data goes to the print memory and WRITE_DONE comes `delayMs` after
  // the last of the write's data came; a CANCEL before then completes it
  // with 995 and 0 bytes, and nothing is stored.
  kSlow,
  // Only the first `bytes` bytes are stored and reported (status 0), after
  // `delayMs` as for kSlow.
  kPartial,
  // Nothing is stored; the WRITE stays pending until its CANCEL (995, 0 bytes).
  kNoCompletion,
  // A device that stops reading: from the WRITE on, nothing more is taken
  // from the connection for `delayMs` (the host's sends wait for room in the
  // socket); then everything is taken as it comes, and the write completes
  // whole. A CANCEL that arrives meanwhile is taken after the stall.
  kStall,
};
struct BulkWriteFault {
  BulkWriteFaultKind kind = BulkWriteFaultKind::kSlow;
  uint32_t delayMs = 0;
  uint32_t bytes = 0;
  int count = 1;
};

// A request as a unit's command handler sees it.
struct Request {
  uint8_t address = 0;  // the addressed unit
  uint16_t command = 0;
  std::vector<uint8_t> data;
};

// A unit's answer: the reply command word and the reply data.
struct Reply {
  uint16_t command = kReplyAck;
  std::vector<uint8_t> data;

  static Reply Ack() { return Reply{}; }
  static Reply Error(uint16_t value) {
    return Reply{kReplyError, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), 0, 0}};
  }
};

// Runs on the emulator's serving thread with its state locked: a handler must
// not call the Emulator that runs it.
using CommandHandler = std::function<Reply(const Request&)>;

// One function call (0xC0D8) as received.
struct FunctionCall {
  uint8_t address = 0;
  uint16_t group = 0;
  uint16_t item = 0;
  std::vector<uint8_t> params;  // the request data after the selector
};

// ---- Parameter files --------------------------------------------------------
// Every unit keeps a parameter file: a header and a size table (its state
// records (group, 2) and (group, 1); group 0xF800 on the main unit, 0x5000 on
// the boards) and the sections, read and written in chunks (0xC080, 0xC082)
// and saved (0xC0EE). The model's ParaFiles() controls them.
inline constexpr uint16_t kParaReadCommand = 0xC080;
inline constexpr uint16_t kParaReadReply = 0xC081;
inline constexpr uint16_t kParaWriteCommand = 0xC082;
inline constexpr uint16_t kParaSaveCommand = 0xC0EE;

struct ParaFileHeader {
  uint16_t formatWord = 0;
  uint16_t sectionCount = 0;
  uint16_t readChunkWords = 0;
  uint16_t writeChunkWords = 0;
};

// One parameter-file request as the unit took it, in arrival order.
struct ParaFileEvent {
  enum class Kind { kRead, kWrite, kSave };
  Kind kind = Kind::kRead;
  uint8_t address = 0;
  uint32_t section = 0;     // read and write: bits 0..3 of the position word
  uint32_t wordOffset = 0;  // read and write: the position word shifted right by 4
  uint32_t words = 0;       // read and write: the word-count word
  uint32_t mask = 0;        // save
  // 0: done; else the error value of the unit's refusal (nothing was done).
  uint16_t refusal = 0;
};

// A save that the unit carried out: its mask, the index of its event in
// the parameter files' Events(), and the sections it saved (by number) as they were then.
struct ParaFileSave {
  uint8_t address = 0;
  uint32_t mask = 0;
  size_t eventIndex = 0;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sections;
};

}  // namespace norvex::emu
