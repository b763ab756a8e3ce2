// hex_text.h: bytes as upper-case hex digits, the form in which the second
// host process reports the texts it saw and the test states what it expects.
#pragma once

#include <string>

inline std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    text.push_back(kDigits[c >> 4]);
    text.push_back(kDigits[c & 15]);
  }
  return text;
}
