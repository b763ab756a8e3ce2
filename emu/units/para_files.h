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
#include "emu/machine_controls.h"
#include "emu/units/units.h"

namespace norvex::emu::units {

class ParaFileBank final : public ParaFileControls {
 public:
  ParaFileBank() = default;
  ParaFileBank(const ParaFileBank&) = delete;
  ParaFileBank& operator=(const ParaFileBank&) = delete;

  // Gives every unit its file and installs the handlers of 0xC080, 0xC082
  // and 0xC0EE. `host` and `lock`, the model's mutex (not held here), must
  // outlive the bank.
  void Install(UnitHost& host, std::mutex& lock);

  // ---- Controls (machine_controls.h) ------------------------------------------
  // The header and size-table records are the model's state records (its
  // SetStateRecord sets them byte by byte too).
  void SetHeader(uint8_t address, const ParaFileHeader& header) override;
  ParaFileHeader Header(uint8_t address) const override;
  void SetSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) override;
  void SetSection(uint8_t address, uint32_t section, const Bytes& bytes) override;
  Bytes Section(uint8_t address, uint32_t section) const override;
  Bytes SavedSection(uint8_t address, uint32_t section) const override;
  std::vector<ParaFileEvent> Events() const override;
  std::vector<ParaFileSave> Saves() const override;
  void ClearEvents() override;
  void Refuse(uint8_t address, uint16_t command, uint16_t errorValue, int count = 1) override;

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
