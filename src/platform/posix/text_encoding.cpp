// text_encoding.cpp: GBK to UTF-8 through iconv (see text_encoding.h).
#include "platform/posix/text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <memory>

namespace norvex::platform::posix_host {
namespace {

struct IconvCloser {
  void operator()(void* cd) const { ::iconv_close(static_cast<iconv_t>(cd)); }
};

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  iconv_t opened = ::iconv_open("UTF-8", "GBK");
  if (opened == reinterpret_cast<iconv_t>(-1)) return std::string(gbk);
  const std::unique_ptr<void, IconvCloser> cd(opened);
  std::string in(gbk);
  char* inPtr = in.data();
  size_t inLeft = in.size();
  std::string out;
  char buffer[256];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof(buffer);
    const size_t done = ::iconv(opened, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer, sizeof(buffer) - outLeft);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte that starts no GBK character, or a character cut short.
      out += '?';
      ++inPtr;
      --inLeft;
    }
  }
  return out;
}

}  // namespace norvex::platform::posix_host
