// library_texts.h: the library's own texts in Chinese, in one table: the GBK
// bytes (code page 936) that the log and CTP_GetErrorInfo carry, as Windows
// hosts expect them, the same text in UTF-8, and what it says in English.
// The log, the failure texts, the POSIX message box and the exports that give
// texts in UTF-8 (norvex_posix.h) all take them from here. Portable code
// without a system header, below every layer that writes a text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvex::texts {

struct Phrase {
  const char* gbk;      // as the log and CTP_GetErrorInfo carry it
  const char* utf8;     // the same text
  const char* english;  // what it says
};

// 日志文件打开失败!
inline constexpr Phrase kLogOpenFailed = {
    "\xC8\xD5\xD6\xBE\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC!",
    "\xE6\x97\xA5\xE5\xBF\x97\xE6\x96\x87\xE4\xBB\xB6\xE6\x89\x93\xE5\xBC\x80\xE5\xA4\xB1\xE8\xB4\xA5!",
    "the log file cannot be opened"};

// 无法进一步获取错误信息!
inline constexpr Phrase kNoFurtherInfo = {
    "\xCE\xDE\xB7\xA8\xBD\xF8\xD2\xBB\xB2\xBD\xBB\xF1\xC8\xA1\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2!",
    "\xE6\x97\xA0\xE6\xB3\x95\xE8\xBF\x9B\xE4\xB8\x80\xE6\xAD\xA5\xE8\x8E\xB7"  // 无法进一步获
    "\xE5\x8F\x96\xE9\x94\x99\xE8\xAF\xAF\xE4\xBF\xA1\xE6\x81\xAF!",            // 取错误信息!
    "no further error information"};

// 错误码为
inline constexpr Phrase kErrorCodeIs = {"\xB4\xED\xCE\xF3\xC2\xEB\xCE\xAA",
                                        "\xE9\x94\x99\xE8\xAF\xAF\xE7\xA0\x81\xE4\xB8\xBA",
                                        "the error code is"};

// 错误编号
inline constexpr Phrase kErrorNumber = {"\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5",
                                        "\xE9\x94\x99\xE8\xAF\xAF\xE7\xBC\x96\xE5\x8F\xB7", "error number"};

// Every text above: nothing else the library writes is other than ASCII.
inline constexpr Phrase kPhrases[] = {kLogOpenFailed, kNoFurtherInfo, kErrorCodeIs, kErrorNumber};

// A text of the library (a failure text, a log line, a message) in UTF-8:
// each phrase of the table becomes its UTF-8 text, followed by " (meaning)"
// when `withMeanings` is set. Every other byte is kept where it begins a
// well-formed UTF-8 character (ASCII, and on POSIX systems the file names a
// host gave, which are UTF-8 already) and becomes '?' where it does not, so
// the result is always UTF-8.
std::string ToUtf8(std::string_view text, bool withMeanings);

// Copies `text` into a caller's buffer of `capacity` bytes as the C
// interface's text functions do: at most capacity - 1 bytes, never ending
// inside a UTF-8 character, and a terminating zero (nothing when buffer is
// null or capacity is 0). Returns the whole text's length in bytes: a value
// of capacity or more means that the buffer was too small.
uint32_t CopyToBuffer(std::string_view text, char* buffer, uint32_t capacity);

}  // namespace norvex::texts
