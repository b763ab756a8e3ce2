// temp_folder.h: a fresh folder of the test process's own under the system's
// temporary folder, removed with everything in it when it goes (without a
// shell). Device folders, the library's files and captures go there, so that
// test runs side by side (other builds, other checkouts) never meet.
#pragma once

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace norvex::test_support {

class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "norvex-test") {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return;
    std::random_device random;
    for (int attempt = 0; attempt < 16 && m_path.empty(); ++attempt) {
      char token[24];
      std::snprintf(token, sizeof(token), "%08x%08x", static_cast<unsigned>(random()),
                    static_cast<unsigned>(random()));
      const std::filesystem::path candidate = base / (prefix + "-" + token);
      if (std::filesystem::create_directory(candidate, error)) m_path = candidate.string();
    }
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder; empty when none could be made.
  const std::string& path() const { return m_path; }
  // `name` inside the folder.
  std::string Path(const std::string& name) const { return (std::filesystem::path(m_path) / name).string(); }

 private:
  std::string m_path;
};

}  // namespace norvex::test_support
