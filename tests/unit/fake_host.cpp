// fake_host.cpp: the in-memory host environment of the unit tests.
#include "fake_host.h"

#include "platform/posix/ini_profile.h"

namespace norvex::testing {
namespace {

class FakeFile final : public platform::File {
 public:
  FakeFile(FakeHost& host, std::string path) : m_host(host), m_path(std::move(path)) {}
  ~FakeFile() override {
    std::lock_guard<std::recursive_mutex> hold(m_host.mutex);
    m_host.openForWriting.erase(m_path);
  }
  bool Write(const void* data, size_t size) override {
    std::lock_guard<std::recursive_mutex> hold(m_host.mutex);
    if (m_host.failWrites) return false;
    std::string& content = m_host.files[m_path];
    if (content.size() < m_position) content.resize(m_position);
    content.replace(m_position, size, static_cast<const char*>(data), size);
    m_position += size;
    return true;
  }
  bool SeekToEnd() override {
    std::lock_guard<std::recursive_mutex> hold(m_host.mutex);
    m_position = m_host.files[m_path].size();
    return true;
  }
  bool Flush() override { return true; }

 private:
  FakeHost& m_host;
  std::string m_path;
  size_t m_position = 0;
};

}  // namespace

FakeHost::FakeHost() { folders.insert(exeFolder); }

int32_t FakeHost::ReadIniInt(const std::string& iniPath, std::string_view section, std::string_view key,
                             int32_t defaultValue) {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  auto file = files.find(iniPath);
  if (file == files.end()) return defaultValue;
  auto value = platform::ini::Lookup(file->second, section, key);
  if (!value || value->empty()) return defaultValue;
  return platform::ini::ParseInt(*value);
}

std::string FakeHost::ReadIniString(const std::string& iniPath, std::string_view section,
                                    std::string_view key, std::string_view defaultValue, size_t capacity) {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  if (capacity == 0) return {};
  std::string value(defaultValue);
  auto file = files.find(iniPath);
  if (file != files.end()) {
    if (auto found = platform::ini::Lookup(file->second, section, key)) value = *found;
  }
  if (value.size() > capacity - 1) value.resize(capacity - 1);
  return value;
}

bool FakeHost::WriteIniString(const std::string& iniPath, std::string_view section, std::string_view key,
                              std::string_view value) {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  files[iniPath] = platform::ini::Update(files[iniPath], section, key, value);
  return true;
}

platform::LocalTime FakeHost::Now() {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  return now;
}

uint32_t FakeHost::TickCount() {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  return ticks;
}

bool FakeHost::FolderExists(const std::string& path) {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  std::string p = path;
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  return folders.count(p) != 0;
}

bool FakeHost::CreateFolder(const std::string& path) {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  if (failCreateFolder) return false;
  std::string p = path;
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  folders.insert(p);
  return true;
}

std::unique_ptr<platform::File> FakeHost::OpenFile(const std::string& path, platform::FileMode mode) {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  const std::string folder = path.substr(0, path.rfind('/'));
  if (folders.count(folder) == 0 || openForWriting.count(path) != 0) return nullptr;
  openForWriting.insert(path);
  std::string& content = files[path];
  if (mode == platform::FileMode::kCreateExclusive) content.clear();
  return std::make_unique<FakeFile>(*this, path);
}

void FakeHost::ShowMessageBox(std::string_view text, platform::MessageIcon) {
  std::lock_guard<std::recursive_mutex> hold(mutex);
  messages.emplace_back(text);
}

}  // namespace norvex::testing
