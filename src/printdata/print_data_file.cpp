// print_data_file.cpp: PrintDataFile (see print_data_file.h).
#include "printdata/print_data_file.h"

#include <new>

#include "printdata/word_compression.h"

namespace norvex {

namespace {

// The bytes at the end of the `size` bytes at `data` (whole words) that a run
// of 0x0000 or 0xFFFF words reaching the end has beyond its whole pairs of
// kMaxRunWords: the part of the run that the compression of these bytes alone
// would close early. 0 when no such run reaches the end, or when the run
// fills the bytes and has no whole pair (nothing would be left).
uint32_t OpenRunBytes(const uint8_t* data, uint32_t size) {
  const uint32_t words = size / 2;
  if (words == 0) return 0;
  auto word = [data](uint32_t i) { return static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)); };
  const uint16_t last = word(words - 1);
  if (last != 0x0000 && last != 0xFFFF) return 0;
  uint32_t run = 1;
  while (run < words && word(words - 1 - run) == last) ++run;
  const uint32_t open = run % kMaxRunWords;
  return open < words ? 2 * open : 0;
}

}  // namespace

PrintDataFile::PrintDataFile(platform::HostEnvironment& host) : m_host(host) {}

PrintDataFile::~PrintDataFile() = default;

void PrintDataFile::Open(const std::string& path) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_file.reset();
  m_path = path;
  m_file = m_host.OpenFile(path, platform::FileMode::kCreateExclusive);
  m_open = true;
}

void PrintDataFile::Close() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_file.reset();
  m_open = false;
}

bool PrintDataFile::IsOpen() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_open;
}

std::string PrintDataFile::Path() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_path;
}

bool PrintDataFile::WriteLocked(const void* data, uint32_t size) {
  if (size == 0) return true;
  return m_file && m_file->Write(data, size);
}

void PrintDataFile::ReportFailure(const std::string& path) {
  m_host.ShowMessageBox("A write to the file \"" + path + "\" failed.", platform::MessageIcon::kExclamation);
}

void PrintDataFile::Write(const void* data, uint32_t size) {
  bool failed = false;
  std::string path;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    failed = !WriteLocked(data, size);
    path = m_path;
  }
  // The message box waits for the user: not under the lock.
  if (failed) ReportFailure(path);
}

void PrintDataFile::WriteCompressed(const void* data, uint32_t size) {
  bool failed = false;
  std::string path;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_compressBuffer) {
      m_compressBuffer.reset(new (std::nothrow) uint8_t[CompressedBound(kCompressPiece)]);
    }
    const auto* in = static_cast<const uint8_t*>(data);
    bool ok = m_compressBuffer != nullptr;
    // Pieces of whole words; an odd last byte is ignored, as the
    // compression ignores it. A piece that is not the last never ends inside
    // a run pair: its end moves back to the last whole pair of a run that
    // reaches it, so that the rest of that run starts the next piece and the
    // file holds the bytes of one stream of the whole buffer.
    for (uint32_t done = 0; ok && size - done >= 2;) {
      uint32_t piece = size - done < kCompressPiece ? size - done : kCompressPiece;
      if (done + piece < size) piece -= OpenRunBytes(in + done, piece);
      uint32_t compressed = 0;
      CompressWords(m_compressBuffer.get(), &compressed, in + done, piece);
      ok = WriteLocked(m_compressBuffer.get(), compressed);
      done += piece;
    }
    failed = !ok;
    path = m_path;
  }
  if (failed) ReportFailure(path);
}

}  // namespace norvex
