// para_files.cpp: the emulated units' parameter files (see para_files.h).
//
// The position word of a chunk is (word offset << 4) | section; the unit
// refuses a chunk of 0 words or above its header's chunk limit, a section it
// does not have and a chunk past the section's end (kErrorBadParameter), and
// a write whose data is not the word count's bytes (a one-word write may
// carry a zero word of padding) (kErrorBadLength). Read replies come padded
// with zeros to whole 32-bit units.
#include "emu/units/para_files.h"

#include <algorithm>

namespace norvex::emu::units {
namespace {

constexpr uint16_t kSizeTableItem = 1;
constexpr uint16_t kHeaderItem = 2;
constexpr uint16_t kDefaultReadChunk = 250;
constexpr uint16_t kDefaultWriteChunk = 248;
// A size table may report more (to test hosts), but no section grows beyond
// what a position word can reach.
constexpr uint32_t kMaxSectionWords = 0x1000;

struct FileLayout {
  uint8_t address;
  uint16_t group;
  uint16_t formatWord;
  std::vector<uint32_t> words;
  std::vector<uint32_t> saveBits;
};

std::vector<FileLayout> Layouts() {
  const std::vector<uint32_t> mainBits = {0x80000000u, 0x08000000u, 0x20000000u, 0x000A0000u, 0x000A0000u,
                                          0x02000000u, 0x00008000u, 0x00800000u, 0x00200000u};
  const std::vector<uint32_t> lhBits = {0x01, 0x02, 0x04, 0x08, 0x10};
  const std::vector<uint32_t> hsBits = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};
  const std::vector<uint32_t> hsWords = {454, 32, 40, 2, 2, 454, 16};
  return {
      {kMainUnit, 0xF800, 0x0202, {136, 8, 1, 2, 256, 4, 1, 2, 2}, mainBits},
      {kLaserHead, 0x5000, 0x0302, {14, 4, 12, 12, 2}, lhBits},
      {kHsBoard0, 0x5000, 0x0302, hsWords, hsBits},
      {kHsBoard1, 0x5000, 0x0302, hsWords, hsBits},
  };
}

// Counting bytes, different for every unit and section.
Bytes Counting(size_t size, uint8_t first) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// The event of a chunk request: position word, then word-count word.
ParaFileEvent ChunkEvent(ParaFileEvent::Kind kind, uint8_t address, const Bytes& data) {
  ParaFileEvent event;
  event.kind = kind;
  event.address = address;
  const uint16_t position = Get16(data, 0);
  event.section = position & 0x0Fu;
  event.wordOffset = static_cast<uint32_t>(position >> 4);
  event.words = Get16(data, 2);
  return event;
}

}  // namespace

void ParaFileBank::Install(UnitHost& host, std::mutex& lock) {
  m_host = &host;
  m_lock = &lock;
  for (const FileLayout& layout : Layouts()) {
    File& file = m_files[layout.address];
    file.group = layout.group;
    file.saveBits = layout.saveBits;
    const auto count = static_cast<uint16_t>(layout.words.size());
    SetHeaderLocked(layout.address,
                    ParaFileHeader{layout.formatWord, count, kDefaultReadChunk, kDefaultWriteChunk});
    SetSizesLocked(layout.address, layout.words);
    for (uint32_t i = 0; i < count; ++i) {
      file.sections[i] = Counting(file.sections[i].size(), static_cast<uint8_t>(layout.address + 0x20 * i));
    }
    file.saved.assign(count, Bytes{});
    const uint8_t address = layout.address;
    host.Handle(address, kParaReadCommand,
                [this, address](const Request& r) { return Read(address, r.data); });
    host.Handle(address, kParaWriteCommand,
                [this, address](const Request& r) { return Write(address, r.data); });
    host.Handle(address, kParaSaveCommand,
                [this, address](const Request& r) { return Save(address, r.data); });
  }
}

ParaFileBank::File* ParaFileBank::FileAt(uint8_t address) {
  auto found = m_files.find(address);
  return found == m_files.end() ? nullptr : &found->second;
}

const ParaFileBank::File* ParaFileBank::FileAt(uint8_t address) const {
  auto found = m_files.find(address);
  return found == m_files.end() ? nullptr : &found->second;
}

void ParaFileBank::SetHeader(uint8_t address, const ParaFileHeader& header) {
  std::lock_guard<std::mutex> lock(*m_lock);
  SetHeaderLocked(address, header);
}

void ParaFileBank::SetHeaderLocked(uint8_t address, const ParaFileHeader& header) {
  const File* file = FileAt(address);
  if (file == nullptr) return;
  Bytes record(8, 0);
  Put16(record, 0, header.formatWord);
  Put16(record, 2, header.sectionCount);
  Put16(record, 4, header.readChunkWords);
  Put16(record, 6, header.writeChunkWords);
  m_host->Record(address, file->group, kHeaderItem) = record;
}

ParaFileHeader ParaFileBank::Header(uint8_t address) const {
  std::lock_guard<std::mutex> lock(*m_lock);
  return HeaderLocked(address);
}

ParaFileHeader ParaFileBank::HeaderLocked(uint8_t address) const {
  const File* file = FileAt(address);
  if (file == nullptr) return ParaFileHeader{};
  const Bytes& record = m_host->Record(address, file->group, kHeaderItem);
  return ParaFileHeader{Get16(record, 0), Get16(record, 2), Get16(record, 4), Get16(record, 6)};
}

void ParaFileBank::SetSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) {
  std::lock_guard<std::mutex> lock(*m_lock);
  SetSizesLocked(address, sectionWords);
}

void ParaFileBank::SetSizesLocked(uint8_t address, const std::vector<uint32_t>& sectionWords) {
  File* file = FileAt(address);
  if (file == nullptr) return;
  Bytes table(4 * sectionWords.size(), 0);
  for (size_t i = 0; i < sectionWords.size(); ++i) Put32(table, 4 * i, sectionWords[i]);
  m_host->Record(address, file->group, kSizeTableItem) = table;
  file->sections.resize(sectionWords.size());
  for (size_t i = 0; i < sectionWords.size(); ++i) {
    if (sectionWords[i] <= kMaxSectionWords) file->sections[i].resize(2 * size_t{sectionWords[i]}, 0);
  }
  file->saved.resize(sectionWords.size());
}

void ParaFileBank::SetSection(uint8_t address, uint32_t section, const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(*m_lock);
  File* file = FileAt(address);
  // A header counts at most 0xFFFF sections; a number beyond is no section
  // (and would not fit a vector's size plus one).
  if (file == nullptr || section > 0xFFFF) return;
  if (file->sections.size() <= section) file->sections.resize(section + 1);
  if (file->saved.size() <= section) file->saved.resize(section + 1);
  file->sections[section] = bytes;
}

Bytes ParaFileBank::Section(uint8_t address, uint32_t section) const {
  std::lock_guard<std::mutex> lock(*m_lock);
  const File* file = FileAt(address);
  if (file == nullptr || section >= file->sections.size()) return {};
  return file->sections[section];
}

Bytes ParaFileBank::SavedSection(uint8_t address, uint32_t section) const {
  std::lock_guard<std::mutex> lock(*m_lock);
  const File* file = FileAt(address);
  if (file == nullptr || section >= file->saved.size()) return {};
  return file->saved[section];
}

std::vector<ParaFileEvent> ParaFileBank::Events() const {
  std::lock_guard<std::mutex> lock(*m_lock);
  return m_events;
}

std::vector<ParaFileSave> ParaFileBank::Saves() const {
  std::lock_guard<std::mutex> lock(*m_lock);
  return m_saves;
}

void ParaFileBank::ClearEvents() {
  std::lock_guard<std::mutex> lock(*m_lock);
  m_events.clear();
  m_saves.clear();
}

void ParaFileBank::Refuse(uint8_t address, uint16_t command, uint16_t errorValue, int count) {
  std::lock_guard<std::mutex> lock(*m_lock);
  m_refusals.push_back(Refusal{address, command, errorValue, count});
}

uint16_t ParaFileBank::TakeRefusal(uint8_t address, uint16_t command) {
  for (auto it = m_refusals.begin(); it != m_refusals.end(); ++it) {
    if (it->address != address || it->command != command) continue;
    const uint16_t value = it->value;
    if (it->count >= 1 && --it->count == 0) m_refusals.erase(it);
    return value;
  }
  return 0;
}

Bytes* ParaFileBank::ChunkTarget(uint8_t address, uint32_t section, uint32_t wordOffset, uint32_t words,
                                 bool write) {
  File* file = FileAt(address);
  if (file == nullptr || section >= file->sections.size() || words == 0) return nullptr;
  const ParaFileHeader header = HeaderLocked(address);
  if (words > (write ? header.writeChunkWords : header.readChunkWords)) return nullptr;
  Bytes& bytes = file->sections[section];
  if (2 * (size_t{wordOffset} + words) > bytes.size()) return nullptr;
  return &bytes;
}

Reply ParaFileBank::Read(uint8_t address, const Bytes& data) {
  if (data.size() != 4) return Reply::Error(kErrorBadLength);
  ParaFileEvent event = ChunkEvent(ParaFileEvent::Kind::kRead, address, data);
  event.refusal = TakeRefusal(address, kParaReadCommand);
  if (event.refusal == 0) {
    const Bytes* section = ChunkTarget(address, event.section, event.wordOffset, event.words, false);
    if (section == nullptr) event.refusal = kErrorBadParameter;
    if (event.refusal == 0) {
      m_events.push_back(event);
      const auto begin = section->begin() + static_cast<std::ptrdiff_t>(2 * event.wordOffset);
      Bytes reply(begin, begin + static_cast<std::ptrdiff_t>(2 * event.words));
      reply.resize((reply.size() + 3) / 4 * 4, 0);
      return Reply{kParaReadReply, reply};
    }
  }
  m_events.push_back(event);
  return Reply::Error(event.refusal);
}

Reply ParaFileBank::Write(uint8_t address, const Bytes& data) {
  if (data.size() < 4) return Reply::Error(kErrorBadLength);
  ParaFileEvent event = ChunkEvent(ParaFileEvent::Kind::kWrite, address, data);
  const size_t payload = data.size() - 4;
  const bool paddedWord = event.words == 1 && payload == 4 && Get16(data, 6) == 0;
  event.refusal = TakeRefusal(address, kParaWriteCommand);
  if (event.refusal == 0 && payload != 2 * size_t{event.words} && !paddedWord)
    event.refusal = kErrorBadLength;
  Bytes* section = nullptr;
  if (event.refusal == 0) {
    section = ChunkTarget(address, event.section, event.wordOffset, event.words, true);
    if (section == nullptr) event.refusal = kErrorBadParameter;
  }
  m_events.push_back(event);
  if (event.refusal != 0) return Reply::Error(event.refusal);
  std::copy_n(data.begin() + 4, 2 * size_t{event.words},
              section->begin() + static_cast<std::ptrdiff_t>(2 * event.wordOffset));
  return Reply::Ack();
}

Reply ParaFileBank::Save(uint8_t address, const Bytes& data) {
  if (data.size() != 4) return Reply::Error(kErrorBadLength);
  ParaFileEvent event;
  event.kind = ParaFileEvent::Kind::kSave;
  event.address = address;
  event.mask = Get32(data, 0);
  event.refusal = TakeRefusal(address, kParaSaveCommand);
  m_events.push_back(event);
  if (event.refusal != 0) return Reply::Error(event.refusal);
  File& file = *FileAt(address);
  ParaFileSave save{address, event.mask, m_events.size() - 1, {}};
  for (uint32_t i = 0; i < file.sections.size() && i < file.saveBits.size(); ++i) {
    if ((event.mask & file.saveBits[i]) == 0) continue;
    file.saved[i] = file.sections[i];
    save.sections.emplace_back(i, file.sections[i]);
  }
  m_saves.push_back(std::move(save));
  return Reply::Ack();
}

}  // namespace norvex::emu::units
