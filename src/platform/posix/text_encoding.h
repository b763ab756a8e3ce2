// text_encoding.h: the library's Chinese texts are GBK bytes (code page 936),
// as Windows hosts expect them; a POSIX terminal reads UTF-8. The POSIX
// message box (a line on standard error) shows its text through this.
#pragma once

#include <string>
#include <string_view>

namespace norvex::platform::posix_host {

// `gbk` as UTF-8; ASCII stays as it is, a byte that starts no GBK character
// becomes '?'. Without a GBK converter in the C library the bytes are
// returned unchanged.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace norvex::platform::posix_host
