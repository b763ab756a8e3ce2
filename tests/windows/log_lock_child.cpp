// log_lock_child.cpp: the second host process of the log-lock test in
// dll_test.cpp. It loads Norvex.dll from its own folder, the folder of a
// first process that already holds the log file open, so the library's log
// cannot be opened here and the library shows its message box while it loads.
//
// A message box is modal and would stop this process for good, so a watcher
// thread, started before the load, looks for the windows of this process,
// notes what each one shows (class, caption, text, icon, buttons) and presses
// its button. After the load the program calls one command by ordinal, which
// would log its failure if the log were open, unloads the library and
// reports on stdout, one "key value" line each (caption and text as hex bytes,
// since the message is GBK):
//   boxes N             windows seen during the run
//   class, caption, text, text_w, stop_icon, buttons, pressed   of the first
//                       one; text_w is the Unicode text, as UTF-16LE bytes
//   loaded 0|1          whether LoadLibrary succeeded
//   get_state XXXXXXXX  the result of NV_GetState (ordinal 32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "hex_text.h"
#include "norvex.h"

namespace {

constexpr int kGetState = 32;
constexpr int kMessageTextId = 0xFFFF;  // the message box's text control

std::string ClassOf(HWND window) {
  char name[256] = {};
  const int length = GetClassNameA(window, name, sizeof(name));
  return std::string(name, length > 0 ? static_cast<size_t>(length) : 0);
}

std::string TextOf(HWND window) {
  char text[1024] = {};
  const int length = GetWindowTextA(window, text, sizeof(text));
  return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

// The system's stop icon, a shared icon: one handle wherever it is shown in
// this process. Loaded before the library is: loading a resource needs the
// loader's lock, which the loading thread holds while the box is up.
HICON g_stopIcon = nullptr;

// What one message box showed.
struct Box {
  HWND window = nullptr;
  std::string className, caption, text;
  std::string textWide;  // UTF-16LE bytes
  bool stopIcon = false;
  std::vector<HWND> buttons;  // the visible push buttons
  bool pressed = false;
};

BOOL CALLBACK NoteChild(HWND child, LPARAM context) {
  Box& box = *reinterpret_cast<Box*>(context);
  if (!IsWindowVisible(child)) return TRUE;
  const std::string className = ClassOf(child);
  const LONG style = GetWindowLongA(child, GWL_STYLE);
  if (className == "Button") {
    box.buttons.push_back(child);
  } else if (className == "Static" && (style & SS_TYPEMASK) == SS_ICON) {
    const auto icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
    if (icon != nullptr && icon == g_stopIcon) box.stopIcon = true;
  }
  return TRUE;
}

struct Scan {
  std::vector<HWND> found;
};

// This program makes no window of its own, so every visible top-level window
// of the process is the library's. A dialog is only shown once it has set
// its text, icon and buttons.
BOOL CALLBACK FindWindows(HWND window, LPARAM context) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId() && IsWindowVisible(window)) {
    reinterpret_cast<Scan*>(context)->found.push_back(window);
  }
  return TRUE;
}

// Looks for new windows of this process until `stop` is set, notes each one
// and presses its button (or closes it, when it has not exactly one). Sets
// `ready` after its first look.
void Watch(std::atomic<bool>& ready, const std::atomic<bool>& stop, std::vector<Box>& boxes) {
  std::vector<HWND> seen;
  for (bool last = false; !last; ready = true) {
    last = stop.load();  // one more look after the load has returned
    Scan scan;
    EnumWindows(&FindWindows, reinterpret_cast<LPARAM>(&scan));
    for (HWND window : scan.found) {
      bool known = false;
      for (HWND s : seen) known = known || s == window;
      if (known) continue;
      seen.push_back(window);
      Box box;
      box.window = window;
      box.className = ClassOf(window);
      box.caption = TextOf(window);
      char text[1024] = {};
      const UINT length = GetDlgItemTextA(window, kMessageTextId, text, sizeof(text));
      box.text.assign(text, length);
      WCHAR wide[1024] = {};
      const UINT wideLength = GetDlgItemTextW(window, kMessageTextId, wide, 1024);
      box.textWide.assign(reinterpret_cast<const char*>(wide), sizeof(WCHAR) * wideLength);
      EnumChildWindows(window, &NoteChild, reinterpret_cast<LPARAM>(&box));
      if (box.buttons.size() == 1) {
        const int id = GetDlgCtrlID(box.buttons[0]);
        box.pressed = PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                   reinterpret_cast<LPARAM>(box.buttons[0])) != FALSE;
      } else {
        PostMessageA(window, WM_CLOSE, 0, 0);
      }
      boxes.push_back(box);
    }
    if (!last) Sleep(10);
  }
}

}  // namespace

int main() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  folder = folder.substr(0, folder.rfind('\\'));

  g_stopIcon = LoadIconA(nullptr, IDI_HAND);
  std::atomic<bool> stop{false};
  std::vector<Box> boxes;
  std::atomic<bool> ready{false};
  std::thread watcher([&] { Watch(ready, stop, boxes); });
  // A new thread first runs the libraries' thread-attach code under the
  // loader's lock, which the loading thread holds until the load ends, the
  // message box included: the watcher must be running before the load begins.
  while (!ready) Sleep(1);

  HMODULE library = LoadLibraryA((folder + "\\Norvex.dll").c_str());
  uint32_t getState = 0xFFFFFFFFu;
  if (library != nullptr) {
    FARPROC proc = GetProcAddress(library, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(kGetState)));
    if (proc != nullptr) {
      unsigned char state[4] = {};
      getState = reinterpret_cast<decltype(&NV_GetState)>(reinterpret_cast<void*>(proc))(state);
    }
  }
  stop = true;
  watcher.join();
  if (library != nullptr) FreeLibrary(library);

  std::printf("boxes %u\n", static_cast<unsigned>(boxes.size()));
  if (!boxes.empty()) {
    const Box& box = boxes.front();
    std::printf("class %s\n", box.className.c_str());
    std::printf("caption %s\n", Hex(box.caption).c_str());
    std::printf("text %s\n", Hex(box.text).c_str());
    std::printf("text_w %s\n", Hex(box.textWide).c_str());
    std::printf("stop_icon %d\n", box.stopIcon ? 1 : 0);
    std::printf("buttons %u\n", static_cast<unsigned>(box.buttons.size()));
    std::printf("pressed %d\n", box.pressed ? 1 : 0);
  }
  std::printf("loaded %d\n", library != nullptr ? 1 : 0);
  std::printf("get_state %08X\n", static_cast<unsigned>(getState));
  std::fflush(stdout);
  return 0;
}
