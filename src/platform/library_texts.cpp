// library_texts.cpp: the library's texts as UTF-8, and texts copied into a
// caller's buffer (see library_texts.h).
#include "platform/library_texts.h"

#include <algorithm>
#include <cstring>

namespace norvex::texts {
namespace {

// The length of the well-formed UTF-8 character that `rest` begins with; 0
// when it begins with none (a stray continuation byte, a character cut
// short, an overlong form, a surrogate, or a code point above U+10FFFF).
size_t Utf8CharacterLength(std::string_view rest) {
  const auto lead = static_cast<unsigned char>(rest[0]);
  if (lead < 0x80) return 1;
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (rest.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(rest[i]) & 0xC0) != 0x80) return 0;
  }
  const auto second = static_cast<unsigned char>(rest[1]);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

}  // namespace

std::string ToUtf8(std::string_view text, bool withMeanings) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  size_t at = 0;
  while (at < text.size()) {
    const std::string_view rest = text.substr(at);
    const Phrase* phrase = nullptr;
    for (const Phrase& candidate : kPhrases) {
      if (rest.substr(0, std::strlen(candidate.gbk)) == candidate.gbk) {
        phrase = &candidate;
        break;
      }
    }
    if (phrase != nullptr) {
      out += phrase->utf8;
      if (withMeanings) {
        out += " (";
        out += phrase->english;
        out += ')';
      }
      at += std::strlen(phrase->gbk);
      continue;
    }
    const size_t length = Utf8CharacterLength(rest);
    if (length == 0) {
      out += '?';
      ++at;
    } else {
      out.append(rest.substr(0, length));
      at += length;
    }
  }
  return out;
}

uint32_t CopyToBuffer(std::string_view text, char* buffer, uint32_t capacity) {
  if (buffer != nullptr && capacity > 0) {
    size_t n = std::min<size_t>(text.size(), capacity - 1);
    // Cut before a character whose bytes do not all fit.
    if (n < text.size()) {
      while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<uint32_t>(std::min<size_t>(text.size(), UINT32_MAX));
}

}  // namespace norvex::texts
