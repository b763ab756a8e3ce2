// para_files.h: the parameter files of the emulated units (main unit, laser
// head board, both HS boards): header and size table as state records,
// sections of 16-bit words, chunked reads and writes checked against the
// header's chunk limits and the sections' sizes, saves, and refusals on
// demand. Part of the device model's state: its controls take the model's
// mutex themselves, and the handlers it installs run with that mutex held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "emu/device_types.h"
#include "emu/units/units.h"

namespace norvex::emu::units {

class ParaFileBank {
 public:
  // Gives every unit its file and installs the handlers of 0xC080, 0xC082
  // and 0xC0EE. `host` and `lock`, the model's mutex (not held here), must
  // outlive the bank.
  void Install(UnitHost& host, std::mutex& lock);

  // ---- Controls ------------------------------------------------------------
  // The header and size-table records can be set to anything, wrong ones
  // included (the model's SetStateRecord sets them byte by byte). At start
  // every unit reports its true header (format word, section count, read
  // chunk 250 and write chunk 248 words) and size table, and holds sections
  // of counting bytes; section 6 of an HS board has 16 words.
  void SetHeader(uint8_t address, const ParaFileHeader& header);
  ParaFileHeader Header(uint8_t address) const;
  // The size table (words per section); the sections are resized to match
  // (zero-filled when they grow), except to more than 4096 words (what a
  // position word reaches): such a size is only reported.
  void SetSizes(uint8_t address, const std::vector<uint32_t>& sectionWords);
  void SetSection(uint8_t address, uint32_t section, Bytes bytes);
  Bytes Section(uint8_t address, uint32_t section) const;
  // The section as the last save that included it left it (empty: never saved).
  Bytes SavedSection(uint8_t address, uint32_t section) const;
  // The requests the units took, in order, and the saves they carried out.
  std::vector<ParaFileEvent> Events() const;
  std::vector<ParaFileSave> Saves() const;
  void ClearEvents();
  // The next `count` requests `command` (0xC080, 0xC082, 0xC0EE) to the unit
  // at `address` are refused with `errorValue` and change nothing
  // (Fault::kUntilCleared: every one).
  void Refuse(uint8_t address, uint16_t command, uint16_t errorValue, int count = 1);

 private:
  struct File {
    uint16_t group = 0;
    std::vector<uint32_t> saveBits;  // per section, the save-mask bits that name it
    std::vector<Bytes> sections;
    std::vector<Bytes> saved;
  };
  struct Refusal {
    uint8_t address;
    uint16_t command;
    uint16_t value;
    int count;
  };

  // The header as the record holds it, with the model's mutex held.
  ParaFileHeader HeaderLocked(uint8_t address) const;
  void SetHeaderLocked(uint8_t address, const ParaFileHeader& header);
  void SetSizesLocked(uint8_t address, const std::vector<uint32_t>& sectionWords);
  Reply Read(uint8_t address, const Bytes& data);
  Reply Write(uint8_t address, const Bytes& data);
  Reply Save(uint8_t address, const Bytes& data);
  // Takes one use of a refusal of (address, command); 0 when none.
  uint16_t TakeRefusal(uint8_t address, uint16_t command);
  // The section of a chunk request, or null when the request does not fit the
  // file (section number, chunk limit, section end).
  Bytes* ChunkTarget(uint8_t address, uint32_t section, uint32_t wordOffset, uint32_t words, bool write);
  File* FileAt(uint8_t address);
  const File* FileAt(uint8_t address) const;

  UnitHost* m_host = nullptr;
  std::mutex* m_lock = nullptr;
  std::map<uint8_t, File> m_files;
  std::vector<ParaFileEvent> m_events;
  std::vector<ParaFileSave> m_saves;
  std::deque<Refusal> m_refusals;
};

}  // namespace norvex::emu::units
