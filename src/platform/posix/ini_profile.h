// ini_profile.h: INI text lookup and update with the semantics of the Windows
// profile functions. Pure functions on the file's text, so that the POSIX host
// can use them on files and tests and fuzzers on strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvex::platform::ini {

// The value of `key` in `section`, or nothing when either is missing. Section
// and key names compare without regard to ASCII case; the first match wins.
// Blanks around the value are dropped, and so is one pair of matching quotes
// around it.
std::optional<std::string> Lookup(std::string_view text, std::string_view section, std::string_view key);

// `text` with `key` in `section` set to `value`: the key's line is replaced in
// place, or a new line is added at the end of the section, or a new section
// is appended. The text's line ending is kept ("\r\n" for a new file).
std::string Update(std::string_view text, std::string_view section, std::string_view key,
                   std::string_view value);

// The integer a profile value stands for: leading blanks, an optional sign,
// decimal digits up to the first other character; no digits read as 0. The
// result wraps to 32 bits as the Windows conversion does.
int32_t ParseInt(std::string_view value);

}  // namespace norvex::platform::ini
