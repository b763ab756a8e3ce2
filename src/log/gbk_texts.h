// gbk_texts.h: the library's Chinese texts, as the GBK (code page 936) bytes
// that are written to the log and returned to the host. The UTF-8 reading of
// each is in its comment.
#pragma once

namespace norvex::gbk {

// 日志文件打开失败! (the log file could not be opened)
inline constexpr const char kLogOpenFailed[] =
    "\xC8\xD5\xD6\xBE\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC!";

// 无法进一步获取错误信息! (no further error information can be had)
inline constexpr const char kNoFurtherInfo[] =
    "\xCE\xDE\xB7\xA8\xBD\xF8\xD2\xBB\xB2\xBD\xBB\xF1\xC8\xA1\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2!";

// 错误码为 (the error code is)
inline constexpr const char kErrorCodeIs[] = "\xB4\xED\xCE\xF3\xC2\xEB\xCE\xAA";

// 错误编号 (error number)
inline constexpr const char kErrorNumber[] = "\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5";

}  // namespace norvex::gbk
