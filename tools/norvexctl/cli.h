// cli.h: the command line of norvexctl: global options, the options of one
// subcommand, and the session with the device (a device folder, or the
// embedded emulator when none is present).
#pragma once

#include <cstdint>
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

struct GlobalOptions {
  bool json = false;
  bool help = false;
  std::string device;       // --device DIR
  bool emulator = false;    // --emulator: the embedded emulator even when a device is present
  uint32_t timeoutMs = 0;   // --timeout MS (0: the library's default)
  std::string fault;        // --emu-fault (hidden): a fault of the embedded emulator
};

// A subcommand's arguments: positionals and options. Options with a value
// take the next argument ("--mask 0x1F") or the text after '='.
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

// The device a run talks to.
class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Picks the device (--device, else the default folder when it holds a
  // device endpoint, else the embedded emulator), says which on the first
  // line of output, and starts the library. Returns an exit code.
  int Start(const GlobalOptions& options, Output& out);
  bool embedded() const { return emulator_ != nullptr; }
  const std::string& folder() const { return folder_; }

 private:
  std::unique_ptr<norvex::emu::Emulator> emulator_;
  std::string folder_;
  std::string tempFolder_;  // made for the embedded emulator; removed at the end
  NorvexWindow window_ = nullptr;
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
    if (!connected_) {
      connected_ = true;
      connectResult_ = session.Start(options, out);
    }
    return connectResult_;
  }

 private:
  bool connected_ = false;
  int connectResult_ = kExitOk;
};

// Files of the host beside norvexctl's executable, where the library keeps
// them: the folder, "Varnock.ini" and "log/UsbDriver.log".
std::string ExecutableFolder();
// Sets keys of one INI section in Varnock.ini, keeping every other line.
bool SetIniKeys(const std::string& section, const std::vector<std::pair<std::string, std::string>>& keys);
// An absolute form of a path (relative to the current folder).
std::string AbsolutePath(const std::string& path);
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);
bool WriteWholeFile(const std::string& path, const uint8_t* bytes, size_t size);

}  // namespace norvexctl
