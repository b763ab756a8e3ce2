// reference_gbk.h: GBK to UTF-8 by the C library's converter (iconv), the
// reading that the library's own UTF-8 texts are checked against: a
// converter the library's table was not made with. POSIX tests only.
#pragma once

#include <iconv.h>

#include <string>

namespace norvex::test_support {

// `gbk` as UTF-8; "(no GBK converter)" or "(not GBK)" when iconv cannot.
inline std::string ReferenceGbkToUtf8(const std::string& gbk) {
  iconv_t cd = ::iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "(no GBK converter)";
  std::string in = gbk;
  std::string out(4 * in.size() + 4, '\0');
  char* inPtr = in.data();
  char* outPtr = out.data();
  size_t inLeft = in.size();
  size_t outLeft = out.size();
  const size_t done = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  ::iconv_close(cd);
  if (done == static_cast<size_t>(-1)) return "(not GBK)";
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace norvex::test_support
