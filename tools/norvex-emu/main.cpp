// norvex-emu: serves virtual platesetters, each at a device endpoint (a Unix
// socket of a device folder, or a TCP port), and with --control a control
// port through which programs make platesetters of their own and control
// them, until SIGINT or SIGTERM, then unplugs them cleanly.
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/control_server.h"
#include "emu/local_platesetter.h"
#include "emu/named_fault.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: norvex-emu [--dir DIR] [--name NAME] [--listen HOST:PORT [--name NAME]]...\n"
               "                  [--no-laser-head] [--no-hs0] [--no-hs1] [--fault FAULT]...\n"
               "                  [--control HOST:PORT]\n"
               "\n"
               "Serves a virtual platesetter at DIR/NAME, or one for each --listen over TCP,\n"
               "until SIGINT or SIGTERM.\n"
               "\n"
               "  --dir DIR          device folder (default: where the library looks: the folder\n"
               "                     of NORVEX_DEVICE=local:DIR, else $NORVEX_DEVICE_DIR, else\n"
               "                     $XDG_RUNTIME_DIR/norvex, else /tmp/norvex-<uid>)\n"
               "  --name NAME        the platesetter's name: its endpoint in the folder, or the\n"
               "                     name of the platesetter of the --listen before it\n"
               "                     (default: platesetter-0, platesetter-1, ...)\n"
               "  --listen HOST:PORT serves a platesetter over TCP (repeat for several, each on\n"
               "                     its own port; port 0: any free port). HOST is an IPv4\n"
               "                     address, [IPv6] or a name; anything but a loopback address\n"
               "                     lets other machines in (a warning says so)\n"
               "  --no-laser-head    no laser head board (0x42)\n"
               "  --no-hs0           no HS board 0 (0x20)\n"
               "  --no-hs1           no HS board 1 (0x21)\n"
               "  --fault FAULT      a fault of the machine (of each) until it stops, for trying a\n"
               "                     host's error handling: KIND[=VALUE][@ADDRESS][/COMMAND][*COUNT],\n"
               "                     e.g. bulk-partial=64, checksum@0x42, noreply/0x0842*3\n"
               "                     (norvex-emu(1) lists the kinds)\n"
               "  --control HOST:PORT  a control port on the loopback interface (port 0: any free\n"
               "                     port): programs make platesetters of their own there and\n"
               "                     control them and these (records, faults, print memory...);\n"
               "                     alone, without --dir, --name or --listen, it serves no\n"
               "                     platesetter of its own\n"
               "  --help             this text\n");
}

#ifdef _WIN32
// Ctrl+C, Ctrl+Break, closing the console, logging off or shutting down.
HANDLE g_stop = nullptr;
const char* g_stopName = "SIGINT";

BOOL WINAPI OnConsoleEvent(DWORD event) {
  g_stopName = event == CTRL_C_EVENT ? "SIGINT" : "SIGTERM";
  ::SetEvent(g_stop);
  return TRUE;
}

// Takes the stop requests from here on; false when it cannot.
bool CatchStop() {
  g_stop = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return g_stop != nullptr && ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

// Waits for a stop request; the name of what asked.
const char* WaitForStop() {
  ::WaitForSingleObject(g_stop, INFINITE);
  return g_stopName;
}
#else
sigset_t g_stopSignals;

// The signals are taken by sigwait below; blocked before the emulators'
// threads start, so that those threads inherit the mask and never take them.
bool CatchStop() {
  sigemptyset(&g_stopSignals);
  sigaddset(&g_stopSignals, SIGINT);
  sigaddset(&g_stopSignals, SIGTERM);
  return pthread_sigmask(SIG_BLOCK, &g_stopSignals, nullptr) == 0;
}

const char* WaitForStop() {
  int received = 0;
  if (sigwait(&g_stopSignals, &received) != 0) received = 0;
  return received == SIGINT ? "SIGINT" : "SIGTERM";
}
#endif

bool IsLoopbackHost(const std::string& listen) {
  const std::string host = listen.substr(0, listen.rfind(':'));
  return host == "localhost" || host.rfind("127.", 0) == 0 || host == "[::1]";
}

// What the command line asks for.
struct Arguments {
  // Every platesetter to serve: one in the device folder, or one for each
  // --listen (none when --control alone is given).
  std::vector<norvex::emu::EmulatorOptions> platesetters;
  std::vector<std::string> faults;
  std::string control;
};

// Reads the command line into `arguments`; an exit code when the program
// is to end now (--help, or a mistake, said on stderr).
std::optional<int> ParseArguments(int argc, char** argv, Arguments& arguments) {
  norvex::emu::EmulatorOptions common;
  std::string folderName;
  std::vector<norvex::emu::EmulatorOptions> listened;
  bool folderNamed = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--dir" && i + 1 < argc) {
      common.folder = argv[++i];
      folderNamed = true;
    } else if (arg == "--name" && i + 1 < argc) {
      (listened.empty() ? folderName : listened.back().name) = argv[++i];
      folderNamed = folderNamed || listened.empty();
    } else if (arg == "--control" && i + 1 < argc) {
      arguments.control = argv[++i];
    } else if (arg == "--listen" && i + 1 < argc) {
      norvex::emu::EmulatorOptions options;
      options.listen = argv[++i];
      options.name = "platesetter-" + std::to_string(listened.size());
      listened.push_back(options);
    } else if (arg == "--fault" && i + 1 < argc) {
      arguments.faults.push_back(argv[++i]);
    } else if (arg == "--no-laser-head") {
      common.laserHead = false;
    } else if (arg == "--no-hs0") {
      common.hsBoard0 = false;
    } else if (arg == "--no-hs1") {
      common.hsBoard1 = false;
    } else {
      std::fprintf(stderr, "norvex-emu: unknown or incomplete argument: %s\n", arg.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }
  if (!folderName.empty()) common.name = folderName;
  if (common.name.empty() || common.name.find('/') != std::string::npos) {
    std::fprintf(stderr, "norvex-emu: the name must be a plain file name\n");
    return 2;
  }
  if (listened.empty() && (arguments.control.empty() || folderNamed)) {
    arguments.platesetters.push_back(common);
  } else {
    for (norvex::emu::EmulatorOptions& options : listened) {
      options.laserHead = common.laserHead;
      options.hsBoard0 = common.hsBoard0;
      options.hsBoard1 = common.hsBoard1;
      arguments.platesetters.push_back(options);
    }
  }
  return std::nullopt;
}

// Makes, faults and plugs the platesetter of `options`, kept by `server`;
// an exit code when it cannot.
std::optional<int> Plug(const norvex::emu::EmulatorOptions& options, const std::vector<std::string>& faults,
                        norvex::emu::ControlServer& server,
                        std::vector<std::shared_ptr<norvex::emu::LocalPlatesetter>>& platesetters) {
  auto platesetter = std::make_shared<norvex::emu::LocalPlatesetter>(options);
  for (const std::string& fault : faults) {
    if (!norvex::emu::InjectNamedFault(platesetter->Model(), fault)) {
      std::fprintf(stderr, "norvex-emu: unknown fault: %s\n", fault.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }
  if (!platesetter->Plug()) {
    std::fprintf(stderr, "norvex-emu: %s\n", platesetter->LastError().c_str());
    return 1;
  }
  if (!options.listen.empty() && !IsLoopbackHost(options.listen)) {
    std::fprintf(stderr,
                 "norvex-emu: warning: %s is not a loopback address: other machines can reach "
                 "this platesetter\n",
                 options.listen.c_str());
  }
  std::printf("norvex-emu: serving %s%s\n", options.listen.empty() ? "" : (options.name + " at ").c_str(),
              platesetter->EndpointPath().c_str());
  server.Keep(platesetter);
  platesetters.push_back(std::move(platesetter));
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (const std::optional<int> exit = ParseArguments(argc, argv, arguments)) return *exit;
  if (!CatchStop()) {
    std::fprintf(stderr, "norvex-emu: cannot take the stop requests\n");
    return 1;
  }

  std::vector<std::shared_ptr<norvex::emu::LocalPlatesetter>> platesetters;
  norvex::emu::ControlServer server;
  for (const norvex::emu::EmulatorOptions& options : arguments.platesetters) {
    if (const std::optional<int> exit = Plug(options, arguments.faults, server, platesetters)) return *exit;
  }
  if (!arguments.control.empty()) {
    std::string address;
    std::string error;
    if (!server.Start(arguments.control, address, error)) {
      std::fprintf(stderr, "norvex-emu: --control %s: %s\n", arguments.control.c_str(), error.c_str());
      return 1;
    }
    std::printf("norvex-emu: control at %s\n", address.c_str());
  }
  std::fflush(stdout);

  const char* stopped = WaitForStop();
  server.Stop();
  uint64_t connections = 0;
  for (auto& platesetter : platesetters) {
    platesetter->Unplug();
    connections += platesetter->Model().ConnectionsAccepted();
  }
  std::printf("norvex-emu: %s, unplugged after %llu connection(s)\n", stopped,
              static_cast<unsigned long long>(connections));
  return 0;
}
