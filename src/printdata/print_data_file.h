// print_data_file.h: the print-data file, which takes the bulk data in the
// link modes 4 (as it is) and 12 (word run-length compressed). It is a file
// object of its own, apart from the command file of mode 4.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace norvex {

class PrintDataFile {
 public:
  // The largest input that is compressed in one go. The compression buffer
  // holds its worst case, twice as many bytes, so that nothing is written
  // past it; a longer input is compressed and written in pieces of this size.
  static constexpr uint32_t kCompressPiece = 0x200000;

  explicit PrintDataFile(platform::HostEnvironment& host);
  ~PrintDataFile();

  PrintDataFile(const PrintDataFile&) = delete;
  PrintDataFile& operator=(const PrintDataFile&) = delete;

  // Creates the file at `path` (emptied when it exists) for the writes that
  // follow, closing the one open before. Whether it could be created shows
  // when data is written.
  void Open(const std::string& path);
  void Close();
  bool IsOpen() const;
  std::string Path() const;

  // Appends `size` bytes. A failed write (or no file) is shown to the user
  // in a message box and the data is dropped.
  void Write(const void* data, uint32_t size);
  // Compresses `size` bytes and appends the compressed form, in pieces of
  // kCompressPiece input bytes. Failures as for Write.
  void WriteCompressed(const void* data, uint32_t size);

 private:
  bool WriteLocked(const void* data, uint32_t size);
  void ReportFailure(const std::string& path);

  platform::HostEnvironment& m_host;
  mutable std::mutex m_lock;
  std::unique_ptr<platform::File> m_file;
  bool m_open = false;
  std::string m_path;
  // Made at the first compressed write and kept: no allocation per write.
  std::unique_ptr<uint8_t[]> m_compressBuffer;
};

}  // namespace norvex
