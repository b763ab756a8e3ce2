// main.cpp: norvexctl, the service tool of the Norvex platesetter library:
// global options, the subcommand table and its usage texts, dispatch.
// Built on the library's C interface alone (norvex.h, norvex_posix.h), which
// it loads only for the commands that call it; the embedded emulator stands
// in for a machine when asked for (--emulator).
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "commands.h"
#include "library_loader.h"
#include "norvex.h"
#include "norvex_posix.h"

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
    "Global options (before or after the command; --opt=value works too):\n"
    "  --device DEV   the device: a device folder, an endpoint (a socket), the\n"
    "                 name of one in the default folder ($NORVEX_DEVICE_DIR, else\n"
    "                 $XDG_RUNTIME_DIR/norvex or /tmp/norvex-<uid>), or an\n"
    "                 address: tcp:HOST:PORT, local:FOLDER (default: the address\n"
    "                 of NORVEX_DEVICE, else the default folder)\n"
    "  --emulator     a virtual platesetter (the embedded emulator) instead of a\n"
    "                 machine; never used unless asked for\n"
    "  --timeout MS   wait limit of every USB transfer (library default 10000)\n"
    "  --json         one JSON object on standard output instead of text\n"
    "  -q, --quiet    no notes, no progress and no messages of the library on\n"
    "                 standard error (errors stay)\n"
    "  -v, --verbose  every message to and from the device on standard error,\n"
    "                 each with the milliseconds since the start\n"
    "  --trace FILE   those messages into FILE instead of standard error\n"
    "  --help, -h     this text; 'norvexctl COMMAND --help' for a command\n"
    "  --version      the tool's version\n"
    "\n"
    "Data go to standard output, notes, progress and errors to standard error.\n"
    "A file argument '-' is standard input or output.\n"
    "\n"
    "Exit status: 0 success, 1 the device or library refused, 2 usage,\n"
    "3 no device, 4 time-out, 5 read-back differs, 6 file error, 7 device busy,\n"
    "8 permission denied, 130 stopped by SIGINT or SIGTERM.\n";

const char kListUsage[] =
    "Usage: norvexctl list [--device DIR|tcp:HOST:PORT]\n"
    "The device endpoints in the device folder (default: $NORVEX_DEVICE_DIR, else\n"
    "$XDG_RUNTIME_DIR/norvex or /tmp/norvex-<uid>), or what an address serves:\n"
    "each one's name, whether it can be opened (open), is held by another\n"
    "program (busy), is served by nobody (stale, absent) or is another user's\n"
    "(denied), and the kernel name of those that open. Select one with\n"
    "--device NAME.\n";
const char kInfoUsage[] =
    "Usage: norvexctl info\n"
    "Port status, library version, kernel name and versions, device information of\n"
    "the main unit, and the name and version of each board.\n";
const char kStateUsage[] =
    "Usage: norvexctl state [UNIT] [RECORD] [--length N]\n"
    "Reads state records and shows them in hex, decoded where their meaning is\n"
    "known. UNIT: main, lh, hs0, hs1 (default: every unit). RECORD: a name from\n"
    "'norvexctl state UNIT --list', or GROUP:ITEM (hex) with --length N bytes\n"
    "(default 4; 'any' takes a reply of any length and shows its real length).\n"
    "  --list   list the unit's records\n";
const char kWatchUsage[] =
    "Usage: norvexctl watch [UNIT] [RECORD] [--interval MS] [--count N] [--follow]\n"
    "Polls a state record (default: main print) and prints it whenever it changes.\n"
    "Ends at SIGINT or SIGTERM, after --count polls, or when the device is\n"
    "unplugged (exit 3).\n"
    "  --interval MS  time between polls (default 500)\n"
    "  --count N      stop after N polls (default: until stopped)\n"
    "  --follow       when the device is unplugged, wait for it and go on\n"
    "With --json, one JSON object a line: each change, then the summary.\n";
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
    "FILE '-' is standard output (get) or input (set, check, show).\n"
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
    "Usage: norvexctl print IMAGE [--load] [--capture TIFF] [--preview PNG] [--piece BYTES] [--dpi N] "
    "[--page N] [--no-verify]\n"
    "Prints a bilevel image (TIFF, PNG or PBM; '-' reads standard input) through\n"
    "the print job sequence: print error clear, start of the job, page reset\n"
    "(which clears the print memory), the print bands in bulk writes, page\n"
    "update, end of the job; then reads the print memory back and compares it\n"
    "with the bands sent. The image, the output files and the settings are\n"
    "checked before anything goes to the device. SIGINT or SIGTERM stops at the\n"
    "next bulk write and cancels the job (exit 130).\n"
    "  --load           load a plate first (load control, medium move, load ack)\n"
    "  --capture TIFF   also capture the print data as a TIFF (link mode 3)\n"
    "  --preview PNG    a downscaled PNG preview of the capture (or of the image)\n"
    "  --piece BYTES    bulk write size, a multiple of 64, at most 2097152 (default)\n"
    "  --dpi N          resolution written into the print job (default 2400)\n"
    "  --page N         the page of a TIFF of several pages (which needs one named)\n"
    "  --no-verify      do not read the print memory back: the verdict is SENT,\n"
    "                   nothing verified\n"
    "A damaged image (libtiff reports an error, a file that ends early) is\n"
    "refused. Grey and colour images are thresholded at grey level 128 of 255\n"
    "(darker pixels are exposed), and the run says so.\n";
const char kMemoryUsage[] =
    "Usage: norvexctl memory clear\n"
    "       norvexctl memory read OUTPUT [--bytes N]\n"
    "The main unit's print memory.\n"
    "  clear            empties it (the page reset, NV_ResetPage)\n"
    "  read OUTPUT      reads it from its read position into OUTPUT ('-' for\n"
    "                   standard output) until it has no more, or N bytes\n";
const char kCaptureUsage[] =
    "Usage: norvexctl capture INPUT OUTPUT.tif [--width W] [--preview PNG] [--page N]\n"
    "Turns an image (TIFF, PNG, PBM), or raw print data (a file that is no image,\n"
    "with --width W pixels a line), into the library's TIFF capture (link mode 2,\n"
    "no device needed), reads it back and compares it with the input.\n";
const char kCompressUsage[] =
    "Usage: norvexctl compress INPUT OUTPUT [--width W] [--page N]\n"
    "Compresses print data (raw, or an image turned into print bands) with\n"
    "Norvex_CompressData in pieces of 2 MiB, as the compressed print-data file\n"
    "of link mode 12 holds it. '-' for standard input or output.\n";
const char kDecompressUsage[] =
    "Usage: norvexctl decompress INPUT OUTPUT [--preview PNG --width W]\n"
    "Turns a compressed print-data file back into raw print data; with --preview\n"
    "also a PNG of the bands, W pixels a line. '-' for standard input or output.\n";
const char kTestPlateUsage[] =
    "Usage: norvexctl testplate OUTPUT.pbm [--width W] [--height H]\n"
    "Writes a test plate as a bilevel PBM image ('-' for standard output), the\n"
    "same bytes on every machine: a frame, registration marks, a tone wedge of\n"
    "halftone steps from 0 to 100%, solid and line targets, a checkerboard and\n"
    "fine lines. Default 12000 x 9600 pixels (5 x 4 inches at 2400 dpi).\n";
const char kLogUsage[] =
    "Usage: norvexctl log [--day YYYY-MM-DD|today|all] [--tail N]\n"
    "The driver log that the library keeps (log/UsbDriver.log in its files\n"
    "folder: $NORVEX_HOME, else beside the executable, else ~/.local/state/norvex),\n"
    "the lines of one day (default today), its Chinese texts as UTF-8 with their\n"
    "English meaning.\n";

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"list", "the device endpoints: open, busy or stale", kListUsage, RunList},
      {"info", "port status, versions, device and board information", kInfoUsage, RunInfo},
      {"state", "state records in hex, decoded where known", kStateUsage, RunState},
      {"watch", "poll a state record and show its changes", kWatchUsage, RunWatch},
      {"send", "a raw command to any address", kSendUsage, RunSend},
      {"params", "parameter files: get, set, check, save, show", kParamsUsage, RunParams},
      {"print", "print a bilevel image and verify the print memory", kPrintUsage, RunPrint},
      {"memory", "the print memory: clear it, read it", kMemoryUsage, RunMemory},
      {"capture", "an image or print data as the library's TIFF capture", kCaptureUsage, RunCapture},
      {"compress", "print data into the compressed format", kCompressUsage, RunCompress},
      {"decompress", "compressed print data back to raw", kDecompressUsage, RunDecompress},
      {"testplate", "write a test plate image", kTestPlateUsage, RunTestPlate},
      {"log", "the driver log, by day", kLogUsage, RunLog},
  };
  return commands;
}

int UsageError(Context& context, const std::string& command, const std::string& message) {
  context.out.Error(message);
  context.out.Note(command.empty() ? "Try 'norvexctl --help'." : "Try 'norvexctl " + command + " --help'.");
  return kExitUsage;
}

int NeedLibrary(Context& context) {
  std::string error;
  if (LoadLibrary(error)) return kExitOk;
  context.out.Error(error);
  return kExitFile;
}

int SetCaptureSettings(Context& context, uint32_t width, const std::string& file) {
  if (NorvexHost_WriteIniString("PrintData", "CaptureWidth", std::to_string(width).c_str()) == NORVEX_OK &&
      NorvexHost_WriteIniString("PrintData", "CaptureFile", file.c_str()) == NORVEX_OK) {
    return kExitOk;
  }
  context.out.Error("cannot write the capture settings into " + HostFilesFolder() + "/Varnock.ini");
  return kExitFile;
}

namespace {

void PrintMainUsage(std::FILE* stream) {
  std::string list;
  for (const Command& c : Commands()) list += Printf("  %-11s %s\n", c.name, c.summary);
  std::fprintf(stream, kMainUsage, list.c_str());
}

// The global options, wherever they stand; the rest is the command and its
// arguments. False with `error` set for a global option without its value.
bool ParseGlobal(int argc, char** argv, GlobalOptions& options, std::string& commandName,
                 std::vector<std::string>& rest, bool& helpAfterCommand, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    // --opt=value for the global options that take a value.
    std::string inlineValue;
    bool hasInline = false;
    if (arg.rfind("--", 0) == 0) {
      if (const size_t eq = arg.find('='); eq != std::string::npos) {
        for (const char* name : {"--device", "--timeout", "--emu-fault", "--trace"}) {
          if (arg.compare(0, eq, name) == 0) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
            hasInline = true;
          }
        }
      }
    }
    const bool valued = arg == "--device" || arg == "--timeout" || arg == "--emu-fault" || arg == "--trace";
    std::string value;
    if (valued) {
      if (hasInline) {
        value = inlineValue;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        error = "option " + arg + " needs a value";
        return false;
      }
    }
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--help" || arg == "-h") {
      (commandName.empty() ? options.help : helpAfterCommand) = true;
    } else if (arg == "--version" || arg == "-V") {
      options.version = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--emulator") {
      options.emulator = true;
    } else if (arg == "--device") {
      options.device = value;
    } else if (arg == "--emu-fault") {
      options.fault = value;
    } else if (arg == "--trace") {
      if (value.empty() || value == "-") {
        error = "--trace needs a file (the frames go to standard error with -v)";
        return false;
      }
      options.trace = value;
    } else if (arg == "--timeout") {
      if (!ParseU32(value, options.timeoutMs) || options.timeoutMs == 0) {
        error = "--timeout needs a number of milliseconds above 0";
        return false;
      }
    } else if (commandName.empty() && (arg.empty() || arg[0] != '-')) {
      commandName = arg;
    } else {
      rest.push_back(arg);
    }
  }
  return true;
}

int Main(int argc, char** argv) {
  ProgramStart();  // the frames' times count from here
  GlobalOptions options;
  std::vector<std::string> rest;
  std::string commandName;
  bool helpAfterCommand = false;
  std::string error;
  const bool parsed = ParseGlobal(argc, argv, options, commandName, rest, helpAfterCommand, error);

  if (parsed && commandName == "help") {
    if (rest.empty()) {
      PrintMainUsage(stdout);
      return kExitOk;
    }
    commandName = rest.front();
    helpAfterCommand = true;
  }
  if (parsed && options.version && commandName.empty()) {
    if (options.json) {
      std::printf("{\"command\":\"version\",\"version\":\"%s\",\"exit\":0}\n", NORVEXCTL_VERSION);
    } else {
      std::printf("norvexctl %s\n", NORVEXCTL_VERSION);
    }
    return kExitOk;
  }
  if (parsed && commandName.empty() && options.help) {
    PrintMainUsage(stdout);
    return kExitOk;
  }
  const Command* command = nullptr;
  for (const Command& c : Commands()) {
    if (commandName == c.name) command = &c;
  }
  if (parsed && command != nullptr && (options.help || helpAfterCommand)) {
    std::fputs(command->usage, stdout);
    return kExitOk;
  }

  Output out(options.json, options.quiet);
  // The library's message lines follow -q and --json as the tool's notes do.
  out.CaptureLibraryMessages();
  Session session;
  Context context{options, out, session};
  out.root().Set("command", command != nullptr ? Json::Str(command->name) : Json::Null());
  int exitCode = kExitUsage;
  if (!parsed) {
    UsageError(context, "", error);
  } else if (commandName.empty()) {
    out.Error("no command given");
    if (!options.json && !options.quiet) PrintMainUsage(stderr);
  } else if (command == nullptr) {
    UsageError(context, "", "unknown command '" + commandName + "'");
  } else {
    InstallStopHandlers();
    exitCode = command->run(context, rest);
    if (StopRequested() && exitCode != kExitInterrupted) {
      out.Error(std::string("stopped by ") + StopSignalName());
      exitCode = kExitInterrupted;
    }
  }
  out.Finish(exitCode);
  return exitCode;
}

}  // namespace
}  // namespace norvexctl

int main(int argc, char** argv) {
  try {
    return norvexctl::Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("norvexctl: out of memory\n", stderr);
    return norvexctl::kExitFile;
  }
}
