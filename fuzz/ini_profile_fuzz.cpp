// ini_profile_fuzz.cpp: INI lookup, update and integer parsing on any text a
// host's INI file can hold. An update must be found again by a lookup.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/ini_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  namespace ini = norvex::platform::ini;
  ini::ParseInt(text);
  (void)ini::Lookup(text, "LOG", "LastTime");
  const std::string updated = ini::Update(text, "LOG", "LockTime", "7500");
  auto value = ini::Lookup(updated, "LOG", "LockTime");
  if (!value || *value != "7500") __builtin_trap();
  return 0;
}
