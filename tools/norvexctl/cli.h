// cli.h: the command line of norvexctl: global options, the options of one
// subcommand, file arguments ('-' for standard input or output), the stop
// signals, and the session with the device (a device folder, one endpoint,
// or the embedded emulator when asked for).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "norvex.h"
#include "output.h"

namespace norvex::emu {
class Emulator;
}

namespace norvexctl {

class FrameTap;

struct GlobalOptions {
  bool json = false;
  bool help = false;
  bool version = false;
  bool quiet = false;      // -q: no notes, no progress
  bool verbose = false;    // -v: every message to and from the device on stderr
  std::string trace;       // --trace FILE: those messages into FILE instead
  std::string device;      // --device DIR|PATH|NAME
  bool emulator = false;   // --emulator: the embedded emulator even when a device is present
  uint32_t timeoutMs = 0;  // --timeout MS (0: the library's default)
  std::string fault;       // --emu-fault (hidden): a fault of the embedded emulator
};

// A subcommand's arguments: positionals and options. Options with a value
// take the next argument ("--mask 0x1F") or the text after '=' ("--mask=0x1F").
// A lone '-' is a positional (standard input or output).
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;

  bool Has(const std::string& name) const { return values.count(name) != 0 || flags.count(name) != 0; }
  std::string Value(const std::string& name, const std::string& fallback = "") const;
};

// Splits `args` by the option names a subcommand knows. False, with `error`
// set, for an unknown option or one missing its value.
bool ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& valued,
               const std::set<std::string>& flags, Args& out, std::string& error);

// A number in decimal or 0x hex. False when it is none or out of 32 bits.
bool ParseU32(const std::string& text, uint32_t& value);

// ---- Stop signals -----------------------------------------------------------

// SIGINT and SIGTERM set a flag instead of ending the process; commands
// look at it where they can stop cleanly (between bulk pieces, polls). A
// second signal ends the process at once, as the default would.
void InstallStopHandlers();
bool StopRequested();
// "SIGINT" or "SIGTERM": the signal that asked to stop.
const char* StopSignalName();

// ---- Files --------------------------------------------------------------------

// A file named on the command line, "-" for standard input: standard input
// is kept in a private temporary file, so that readers that need a file
// name (libtiff, libpng, the library) can have one. Removed at the end.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  // False, with `error` set, when standard input cannot be kept.
  bool Open(const std::string& name, std::string& error);
  const std::string& path() const { return m_path; }  // the file to read
  const std::string& name() const { return m_name; }  // as the user wrote it
  bool fromStdin() const { return m_name == "-"; }

 private:
  std::string m_name;
  std::string m_path;
  std::string m_tempFolder;
};

// A file to write, "-" for standard output: written to a private temporary
// file first and copied to standard output by Commit(). A path must lie in
// a folder that exists and can be written: Check() says so before anything
// is sent to the device.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // False, with `error` set, when the file could not be written there.
  bool Check(const std::string& name, std::string& error);
  const std::string& path() const { return m_path; }  // the file to write (absolute)
  const std::string& name() const { return m_name; }
  bool toStdout() const { return m_name == "-"; }
  bool empty() const { return m_name.empty(); }
  // For '-': copies the written file to standard output. True for a path.
  bool Commit();

 private:
  std::string m_name;
  std::string m_path;
  std::string m_tempFolder;
};

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);
bool WriteWholeFile(const std::string& path, const uint8_t* bytes, size_t size);
// An absolute form of a path (relative to the current folder).
std::string AbsolutePath(const std::string& path);
// A private folder under $TMPDIR (else /tmp); empty when it cannot be made.
std::string MakeTempFolder(const std::string& prefix);
// The device folder where the library looks: the folder of
// NORVEX_DEVICE=local:FOLDER, else $NORVEX_DEVICE_DIR, else the user's own
// ($XDG_RUNTIME_DIR/norvex, else /tmp/norvex-<uid>).
std::string DefaultDeviceFolder();
// Whether a --device names a device endpoint over the network (tcp:HOST:PORT).
bool IsNetworkAddress(const std::string& device);
// The network address that NORVEX_DEVICE names, or "".
std::string ConfiguredNetworkAddress();
// The names of the Unix sockets (device endpoints) in `folder`, in byte
// order, as the library enumerates them; names beginning with '.' left out.
std::vector<std::string> EndpointNames(const std::string& folder);
bool IsSocket(const std::string& path);

// ---- The device session ---------------------------------------------------------

// The device a run talks to.
class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Picks the device (--emulator: the embedded emulator; --device; else the
  // default folder, which must hold a device endpoint: no machine is exit 3,
  // never a silent virtual one), says which on stderr, and starts the
  // library with a window of its own. Returns an exit code.
  int Start(const GlobalOptions& options, Output& out);
  bool embedded() const { return m_emulator != nullptr; }
  // The endpoint the library opened (the real one, not the tap's).
  const std::string& endpoint() const { return m_endpoint; }
  // True when the device's endpoint is gone (unplugged).
  bool DeviceGone() const;
  // Opens the device again after it came back (Norvex_Init on the window;
  // with -v the tap's socket first). Returns the open's result.
  uint32_t Reopen();
  // Delivers the library's device notifications (arrival, removal) on the
  // calling thread, waiting at most timeoutMs.
  void Dispatch(uint32_t timeoutMs);

 private:
  // Which device: a folder, one endpoint, or the embedded emulator.
  struct Choice {
    std::string address;  // a network address (tcp:HOST:PORT)
    std::string defaultFolder;
    std::string folder;  // a device folder the library may use as it is
    std::string named;   // one endpoint, reached through a folder of our own
    bool embedded = false;
  };
  // The steps of Start, each returning an exit code: the choice of device,
  // the device reached (the emulator plugged), the folder the library is
  // shown, the library's open.
  int Choose(const GlobalOptions& options, Output& out, Choice& choice, Json& device);
  int Reach(const GlobalOptions& options, Output& out, const Choice& choice, Json& device);
  int ShowLibrary(const GlobalOptions& options, Output& out, const Choice& choice);
  int Open(Output& out, const Choice& choice);

  std::unique_ptr<norvex::emu::Emulator> m_emulator;
  std::unique_ptr<FrameTap> m_tap;
  std::FILE* m_traceFile = nullptr;  // --trace's file, closed after the tap
  std::string m_endpoint;            // the real endpoint (or the network address)
  bool m_network = false;            // the device is reached over the network
  std::string m_libraryFolder;       // the folder the library enumerates
  std::string m_tempFolder;          // made for the emulator, a named endpoint or the tap; removed at the end
  NorvexWindow m_window = nullptr;
};

// What a subcommand gets.
struct Context {
  Context(GlobalOptions globalOptions, Output& output, Session& deviceSession)
      : options(std::move(globalOptions)), out(output), session(deviceSession) {}
  GlobalOptions options;
  Output& out;
  Session& session;
  // Starts the session once; returns an exit code.
  int Connect() {
    if (!m_connected) {
      m_connected = true;
      m_connectResult = session.Start(options, out);
    }
    return m_connectResult;
  }
  // The exit code for a failed result of the device: kExitNoDevice with a
  // message when the device was unplugged meanwhile, else ExitCodeFor().
  int FailureExit(uint32_t result);

 private:
  bool m_connected = false;
  int m_connectResult = kExitOk;
};

// The folder where the library keeps its log and Varnock.ini, as the library
// says (NorvexHost_GetFilesFolder). Loads the library.
std::string HostFilesFolder();

}  // namespace norvexctl
