// platform_probe.cpp: what the platform itself gets right about a window's
// text and the system's icons, tried without Norvex.dll. Wine 8 in its WoW64
// mode (a 32-bit program under wine64) gets two of them wrong, and with them
// the message box checks of dll_test.cpp:
// - Text passed through the ANSI window functions (CreateWindowExA,
//   GetWindowTextA, GetDlgItemTextA) is converted with UTF-8 instead of the
//   ANSI code page, so bytes that are not UTF-8, such as the GBK text of the
//   library's message box, do not come through either way. MessageBoxA
//   converts its text itself, with the ANSI code page, so the box's Unicode
//   text is right; reading it back with GetDlgItemTextA is not.
// - The system's icons do not load: LoadIconA(NULL, IDI_HAND) gives NULL, so
//   no message box shows the stop icon.
// A 64-bit program under wine64 gets both right. Run it by hand to see it:
//   WINEDEBUG=-all /usr/lib/wine/wine64 norvex_platform_probe.exe
// It prints "key value" lines and exits with 0:
//   ansi_code_page N
//   ansi_window_text 0|1   a window's text set and read with the ANSI
//                          functions comes back byte for byte
//   wide_window_text 0|1   its Unicode text is the code page's reading
//   stop_icon 0|1          LoadIconA(NULL, IDI_HAND) gives an icon
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
  // "日志文件打开失败!", the library's message, in GBK.
  const char text[] = "\xC8\xD5\xD6\xBE\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC!";
  HWND window = CreateWindowExA(0, "STATIC", text, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  char ansi[64] = {};
  WCHAR wide[64] = {};
  WCHAR expected[64] = {};
  const int ansiLength = window != nullptr ? GetWindowTextA(window, ansi, 64) : 0;
  const int wideLength = window != nullptr ? GetWindowTextW(window, wide, 64) : 0;
  const int expectedLength = MultiByteToWideChar(CP_ACP, 0, text, -1, expected, 64) - 1;
  if (window != nullptr) DestroyWindow(window);

  const bool ansiRight =
      ansiLength == static_cast<int>(sizeof(text) - 1) && std::memcmp(ansi, text, sizeof(text) - 1) == 0;
  const bool wideRight =
      wideLength == expectedLength &&
      std::memcmp(wide, expected, sizeof(WCHAR) * static_cast<size_t>(expectedLength)) == 0;
  std::printf("ansi_code_page %u\n", GetACP());
  std::printf("ansi_window_text %d\n", ansiRight ? 1 : 0);
  std::printf("wide_window_text %d\n", wideRight ? 1 : 0);
  std::printf("stop_icon %d\n", LoadIconA(nullptr, IDI_HAND) != nullptr ? 1 : 0);
  std::fflush(stdout);
  return 0;
}
