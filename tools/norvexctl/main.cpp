// main.cpp: norvexctl, the service tool of the Norvex platesetter library:
// global options, the subcommand table and its usage texts, dispatch.
// Built on the library's C interface alone (norvex.h, norvex_posix.h); the
// embedded emulator stands in for a machine when none is present.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"

namespace norvexctl {
namespace {

constexpr char kMainUsage[] =
    "Usage: norvexctl [GLOBAL OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "The service tool of the Norvex platesetter library.\n"
    "\n"
    "Commands:\n"
    "%s"
    "\n"
    "Global options (before or after the command):\n"
    "  --device DIR   the device folder to use (default: $NORVEX_DEVICE_DIR, else\n"
    "                 /tmp/norvex-devices); without it, and no device there, an\n"
    "                 embedded emulator stands in, as the first line says\n"
    "  --emulator     use the embedded emulator even when a device is present\n"
    "  --timeout MS   wait limit of every USB transfer (library default 10000)\n"
    "  --json         one JSON object on standard output instead of text\n"
    "  --help, -h     this text; 'norvexctl COMMAND --help' for a command\n"
    "\n"
    "Exit status: 0 success, 1 the device or library refused, 2 usage,\n"
    "3 no device, 4 time-out, 5 read-back differs, 6 file error.\n";

const char kInfoUsage[] =
    "Usage: norvexctl info\n"
    "Port status, library version, kernel name and versions, device information of\n"
    "the main unit, and the name and version of each board.\n";
const char kStateUsage[] =
    "Usage: norvexctl state [UNIT] [RECORD] [--length N]\n"
    "Reads state records and shows them in hex, decoded where their meaning is\n"
    "known. UNIT: main, lh, hs0, hs1 (default: every unit). RECORD: a name from\n"
    "'norvexctl state UNIT --list', or GROUP:ITEM (hex) with --length N bytes\n"
    "(default 4; 'any' for any length).\n"
    "  --list   list the unit's records\n";
const char kWatchUsage[] =
    "Usage: norvexctl watch [UNIT] [RECORD] [--interval MS] [--count N]\n"
    "Polls a state record (default: main print) and prints it whenever it changes.\n"
    "  --interval MS  time between polls (default 500)\n"
    "  --count N      stop after N polls (default: until interrupted)\n";
const char kSendUsage[] =
    "Usage: norvexctl send ADDRESS COMMAND [HEX BYTES] [--reply-length N|any] [--reply-command W]\n"
    "Sends one raw command frame through CTP_SendCommand (for service engineers).\n"
    "ADDRESS and COMMAND are numbers (0x.. for hex); the data are hex bytes\n"
    "('01 02' or '0102'). The reply is expected with --reply-length data bytes\n"
    "(default: any) and --reply-command (default 0x01C0, or COMMAND+1 with a\n"
    "reply length above 0).\n";
const char kParamsUsage[] =
    "Usage: norvexctl params get|set|check|save|show UNIT [FILE] [--mask M] [--fix]\n"
    "A unit's parameter file (UNIT: main, lh, hs0, hs1) as the library's record.\n"
    "  get UNIT FILE    reads every section from the unit into FILE\n"
    "  set UNIT FILE    checks FILE's record on the host (showing what the check\n"
    "                   changed), writes its writable sections to the unit, which\n"
    "                   saves them\n"
    "  check UNIT FILE  the host-side check alone; --fix writes the repaired\n"
    "                   record back to FILE (no device needed)\n"
    "  save UNIT        asks the unit to save its sections\n"
    "  show UNIT FILE   FILE's record section by section: header, offsets, sizes\n"
    "                   and words (no device needed)\n"
    "  --mask M         the section mask (default: every section the action takes)\n";
const char kPrintUsage[] =
    "Usage: norvexctl print IMAGE [--load] [--capture TIFF] [--preview PNG] [--piece BYTES] [--no-verify]\n"
    "Prints a bilevel image (TIFF, PNG or PBM) through the print job sequence:\n"
    "print error clear, start of the job, page reset, the print bands in bulk\n"
    "writes, page update, end of the job; then reads the print memory back and\n"
    "compares it with the bands sent.\n"
    "  --load           load a plate first (load control, medium move, load ack)\n"
    "  --capture TIFF   also capture the print data as a TIFF (link mode 3)\n"
    "  --preview PNG    a downscaled PNG preview of the capture (or of the image)\n"
    "  --piece BYTES    bulk write size, a multiple of 64, at most 2097152 (default)\n"
    "  --dpi N          resolution written into the print job (default 2400)\n"
    "  --no-verify      do not read the print memory back\n";
const char kCaptureUsage[] =
    "Usage: norvexctl capture INPUT OUTPUT.tif [--width W] [--preview PNG]\n"
    "Turns an image (TIFF, PNG, PBM), or raw print data (a file that is no image,\n"
    "with --width W pixels a line), into the library's TIFF capture (link mode 2,\n"
    "no device needed), reads it back and compares it with the input.\n";
const char kCompressUsage[] =
    "Usage: norvexctl compress INPUT OUTPUT [--width W]\n"
    "Compresses print data (raw, or an image turned into print bands) with\n"
    "Norvex_CompressData in pieces of 2 MiB, as the compressed print-data file\n"
    "of link mode 12 holds it.\n";
const char kDecompressUsage[] =
    "Usage: norvexctl decompress INPUT OUTPUT [--preview PNG --width W]\n"
    "Turns a compressed print-data file back into raw print data; with --preview\n"
    "also a PNG of the bands, W pixels a line.\n";
const char kLogUsage[] =
    "Usage: norvexctl log [--day YYYY-MM-DD|today|all] [--tail N]\n"
    "The driver log that the library keeps beside norvexctl (log/UsbDriver.log),\n"
    "the lines of one day (default today), its Chinese texts as UTF-8.\n";

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"info", "port status, versions, device and board information", kInfoUsage, RunInfo},
      {"state", "state records in hex, decoded where known", kStateUsage, RunState},
      {"watch", "poll a state record and show its changes", kWatchUsage, RunWatch},
      {"send", "a raw command to any address", kSendUsage, RunSend},
      {"params", "parameter files: get, set, check, save", kParamsUsage, RunParams},
      {"print", "print a bilevel image and verify the print memory", kPrintUsage, RunPrint},
      {"capture", "an image or print data as the library's TIFF capture", kCaptureUsage, RunCapture},
      {"compress", "print data into the compressed format", kCompressUsage, RunCompress},
      {"decompress", "compressed print data back to raw", kDecompressUsage, RunDecompress},
      {"log", "the driver log, by day", kLogUsage, RunLog},
  };
  return commands;
}

int UsageError(Context& context, const std::string& command, const std::string& message) {
  context.out.Error(message);
  std::fprintf(stderr, "Try 'norvexctl %s --help'.\n", command.c_str());
  return kExitUsage;
}

namespace {

void PrintMainUsage(std::FILE* stream) {
  std::string list;
  for (const Command& c : Commands()) list += Printf("  %-11s %s\n", c.name, c.summary);
  std::fprintf(stream, kMainUsage, list.c_str());
}

int Main(int argc, char** argv) {
  GlobalOptions options;
  std::vector<std::string> rest;
  std::string commandName;
  bool helpAfterCommand = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--help" || arg == "-h") {
      if (commandName.empty()) {
        options.help = true;
      } else {
        helpAfterCommand = true;
      }
    } else if (arg == "--emulator") {
      options.emulator = true;
    } else if ((arg == "--device" || arg == "--timeout" || arg == "--emu-fault") && !hasValue) {
      std::fprintf(stderr, "norvexctl: option %s needs a value\n", arg.c_str());
      return kExitUsage;
    } else if (arg == "--device") {
      options.device = argv[++i];
    } else if (arg == "--emu-fault") {
      options.fault = argv[++i];
    } else if (arg == "--timeout") {
      if (!ParseU32(argv[++i], options.timeoutMs) || options.timeoutMs == 0) {
        std::fprintf(stderr, "norvexctl: --timeout needs a number of milliseconds above 0\n");
        return kExitUsage;
      }
    } else if (commandName.empty() && arg[0] != '-') {
      commandName = arg;
    } else {
      rest.push_back(arg);
    }
  }
  if (commandName == "help") {
    if (rest.empty()) {
      PrintMainUsage(stdout);
      return kExitOk;
    }
    commandName = rest.front();
    helpAfterCommand = true;
  }
  if (commandName.empty()) {
    if (options.help) {
      PrintMainUsage(stdout);
      return kExitOk;
    }
    PrintMainUsage(stderr);
    return kExitUsage;
  }
  const Command* command = nullptr;
  for (const Command& c : Commands()) {
    if (commandName == c.name) command = &c;
  }
  if (command == nullptr) {
    std::fprintf(stderr, "norvexctl: unknown command '%s'\n", commandName.c_str());
    PrintMainUsage(stderr);
    return kExitUsage;
  }
  if (options.help || helpAfterCommand) {
    std::fputs(command->usage, stdout);
    return kExitOk;
  }
  Output out(options.json);
  Session session;
  Context context{options, out, session};
  out.root().Set("command", Json::Str(command->name));
  const int exitCode = command->run(context, rest);
  out.Finish(exitCode);
  return exitCode;
}

}  // namespace
}  // namespace norvexctl

int main(int argc, char** argv) { return norvexctl::Main(argc, argv); }
