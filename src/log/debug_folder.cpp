// debug_folder.cpp: the command-file folder (see debug_folder.h).
#include "log/debug_folder.h"

#include "norvex.h"

namespace norvex {

DebugFolder::DebugFolder(platform::HostEnvironment& host)
    : m_separator(host.PathSeparator()), m_folder(host.DefaultDebugFolder()) {}

uint32_t DebugFolder::Set(const char* folder) {
  if (folder == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  std::string value(folder);
  if (!value.empty() && value.back() == m_separator) value.pop_back();
  std::lock_guard<std::mutex> hold(m_lock);
  m_folder = std::move(value);
  return NORVEX_OK;
}

std::string DebugFolder::Get() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_folder;
}

std::string DebugFolder::PathOf(const char* fileName) const { return Get() + m_separator + fileName; }

}  // namespace norvex
