// norvex-emu: serves one virtual platesetter as a device endpoint until
// SIGINT or SIGTERM, then unplugs it cleanly.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "emu/emulator.h"
#include "emu/named_fault.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: norvex-emu [--dir DIR] [--name NAME] [--no-laser-head] [--no-hs0] [--no-hs1]\n"
               "                  [--fault FAULT]...\n"
               "\n"
               "Serves a virtual platesetter at DIR/NAME until SIGINT or SIGTERM.\n"
               "\n"
               "  --dir DIR        device folder (default: $NORVEX_DEVICE_DIR, else /tmp/norvex-devices)\n"
               "  --name NAME      endpoint name in the folder (default: platesetter-0)\n"
               "  --no-laser-head  no laser head board (0x42)\n"
               "  --no-hs0         no HS board 0 (0x20)\n"
               "  --no-hs1         no HS board 1 (0x21)\n"
               "  --fault FAULT    a fault of the machine until it stops, for trying a host's error\n"
               "                   handling: KIND[=VALUE][@ADDRESS][/COMMAND][*COUNT], e.g.\n"
               "                   bulk-partial=64, checksum@0x42, noreply/0x0842*3\n"
               "                   (norvex-emu(1) lists the kinds)\n"
               "  --help           this text\n");
}

}  // namespace

int main(int argc, char** argv) {
  norvex::emu::EmulatorOptions options;
  std::vector<std::string> faults;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if ((arg == "--dir" || arg == "--name") && i + 1 < argc) {
      (arg == "--dir" ? options.folder : options.name) = argv[++i];
    } else if (arg == "--fault" && i + 1 < argc) {
      faults.push_back(argv[++i]);
    } else if (arg == "--no-laser-head") {
      options.laserHead = false;
    } else if (arg == "--no-hs0") {
      options.hsBoard0 = false;
    } else if (arg == "--no-hs1") {
      options.hsBoard1 = false;
    } else {
      std::fprintf(stderr, "norvex-emu: unknown or incomplete argument: %s\n", arg.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }
  if (options.name.empty() || options.name.find('/') != std::string::npos) {
    std::fprintf(stderr, "norvex-emu: the name must be a plain file name\n");
    return 2;
  }

  // The signals are taken by sigwait below; blocked before the emulator's
  // thread starts, so that thread inherits the mask and never takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    std::fprintf(stderr, "norvex-emu: cannot block the stop signals\n");
    return 1;
  }

  norvex::emu::Emulator emulator(options);
  for (const std::string& fault : faults) {
    if (!norvex::emu::InjectNamedFault(emulator.Model(), fault)) {
      std::fprintf(stderr, "norvex-emu: unknown fault: %s\n", fault.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }
  if (!emulator.Plug()) {
    std::fprintf(stderr, "norvex-emu: %s\n", emulator.LastError().c_str());
    return 1;
  }
  std::printf("norvex-emu: serving %s\n", emulator.EndpointPath().c_str());
  std::fflush(stdout);

  int received = 0;
  if (sigwait(&stopSignals, &received) != 0) received = 0;
  emulator.Unplug();
  std::printf("norvex-emu: %s, unplugged after %llu connection(s)\n",
              received == SIGINT ? "SIGINT" : "SIGTERM",
              static_cast<unsigned long long>(emulator.Model().ConnectionsAccepted()));
  return 0;
}
