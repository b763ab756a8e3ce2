// cli.cpp: arguments, stop signals, file arguments, the device session (see
// cli.h).
#include "cli.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "emu/emulator.h"
#include "emu/named_fault.h"
#include "frame_tap.h"
#include "library_loader.h"
#include "norvex_posix.h"

namespace norvexctl {
namespace {

namespace fs = std::filesystem;

// Set by the handler, whichever thread takes the signal; lock-free, so safe
// in a signal handler.
std::atomic<int> g_stopSignal{0};

void OnStop(int signal) {
  int none = 0;
  if (!g_stopSignal.compare_exchange_strong(none, signal)) {
    // A second request: stop at once, the default way.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
}

// Whether the frame tap goes between the library and the device.
bool Tapped(const GlobalOptions& options) { return options.verbose || !options.trace.empty(); }

}  // namespace

bool IsNetworkAddress(const std::string& device) { return device.rfind("tcp:", 0) == 0; }

std::string DefaultDeviceFolder() {
  // Where the library looks: the folder of NORVEX_DEVICE=local:FOLDER, else
  // $NORVEX_DEVICE_DIR, else the user's own folder.
  const char* address = std::getenv("NORVEX_DEVICE");
  if (address != nullptr && std::strncmp(address, "local:", 6) == 0 && address[6] != '\0') return address + 6;
  const char* env = std::getenv("NORVEX_DEVICE_DIR");
  if (env != nullptr && *env != '\0') return env;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/norvex";
  return "/tmp/norvex-" + std::to_string(::geteuid());
}

std::string ConfiguredNetworkAddress() {
  const char* address = std::getenv("NORVEX_DEVICE");
  return address != nullptr && IsNetworkAddress(address) ? address : "";
}

namespace {

void RemoveTree(const std::string& folder) {
  if (folder.empty()) return;
  std::error_code error;
  fs::remove_all(folder, error);
}

}  // namespace

std::string Args::Value(const std::string& name, const std::string& fallback) const {
  const auto it = values.find(name);
  return it == values.end() ? fallback : it->second;
}

bool ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& valued,
               const std::set<std::string>& flags, Args& out, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-' || arg == "--" || (arg[1] >= '0' && arg[1] <= '9')) {
      if (arg == "--") {
        out.positional.insert(out.positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
        return true;
      }
      out.positional.push_back(arg);
      continue;
    }
    std::string name = arg;
    std::string value;
    bool inlineValue = false;
    if (const size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inlineValue = true;
    }
    if (valued.count(name) != 0) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          error = "option " + name + " needs a value";
          return false;
        }
        value = args[++i];
      }
      out.values[name] = value;
    } else if (flags.count(name) != 0 && !inlineValue) {
      out.flags.insert(name);
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

bool ParseU32(const std::string& text, uint32_t& value) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > (hex ? 8u : 10u)) return false;
  uint64_t v = 0;
  for (const char c : digits) {
    unsigned d = 0;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    v = v * (hex ? 16 : 10) + d;
  }
  if (v > 0xFFFFFFFFu) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

// ---- Stop signals -------------------------------------------------------------

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() { return g_stopSignal != 0; }

const char* StopSignalName() { return g_stopSignal == SIGTERM ? "SIGTERM" : "SIGINT"; }

// ---- Files ------------------------------------------------------------------------

std::string MakeTempFolder(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

InputFile::~InputFile() { RemoveTree(m_tempFolder); }

bool InputFile::Open(const std::string& name, std::string& error) {
  m_name = name;
  if (name != "-") {
    m_path = name;
    return true;
  }
  m_tempFolder = MakeTempFolder("norvexctl-stdin");
  if (m_tempFolder.empty()) {
    error = "cannot make a temporary folder for standard input";
    return false;
  }
  m_path = m_tempFolder + "/stdin";
  std::ofstream out(m_path, std::ios::binary);
  char buffer[1 << 16];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), stdin)) > 0)
    out.write(buffer, static_cast<std::streamsize>(n));
  if (std::ferror(stdin) != 0 || !out.flush()) {
    error = "cannot keep standard input in " + m_path;
    return false;
  }
  return true;
}

OutputFile::~OutputFile() { RemoveTree(m_tempFolder); }

bool OutputFile::Check(const std::string& name, std::string& error) {
  m_name = name;
  if (name == "-") {
    m_tempFolder = MakeTempFolder("norvexctl-stdout");
    if (m_tempFolder.empty()) {
      error = "cannot make a temporary folder for standard output";
      return false;
    }
    m_path = m_tempFolder + "/stdout";
    return true;
  }
  m_path = AbsolutePath(name);
  if (name.empty()) {
    error = "an empty output file name";
    return false;
  }
  struct stat info {};
  if (::stat(m_path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      error = name + " is a folder, not a file";
      return false;
    }
    if (::access(m_path.c_str(), W_OK) != 0) {
      error = "cannot write " + name + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  const std::string folder = fs::path(m_path).parent_path().string();
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = "cannot write " + name + ": the folder " + folder + " does not exist";
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    error = "cannot write " + name + ": the folder " + folder + " cannot be written";
    return false;
  }
  return true;
}

bool OutputFile::Commit() {
  if (m_name != "-") return true;
  std::ifstream in(m_path, std::ios::binary);
  if (!in) return false;
  std::fflush(stdout);
  char buffer[1 << 16];
  while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
    if (std::fwrite(buffer, 1, static_cast<size_t>(in.gcount()), stdout) !=
        static_cast<size_t>(in.gcount())) {
      return false;
    }
  }
  return std::fflush(stdout) == 0;
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteWholeFile(const std::string& path, const uint8_t* bytes, size_t size) {
  std::ofstream outFile(path, std::ios::binary | std::ios::trunc);
  if (!outFile) return false;
  outFile.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  return static_cast<bool>(outFile.flush());
}

bool IsSocket(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

std::vector<std::string> EndpointNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.' && IsSocket(entry.path().string())) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string HostFilesFolder() { return LibraryText(NorvexHost_GetFilesFolder); }

// ---- Session --------------------------------------------------------------------

Session::Session() = default;

Session::~Session() {
  // The window's destruction closes the device.
  if (m_window != nullptr) NorvexHost_DestroyWindow(m_window);
  m_tap.reset();
  if (m_traceFile != nullptr) std::fclose(m_traceFile);
  m_emulator.reset();
  RemoveTree(m_tempFolder);
}

int Session::Start(const GlobalOptions& options, Output& out) {
  std::string loadError;
  if (!LoadLibrary(loadError)) {
    out.Error(loadError);
    return kExitFile;
  }
  if (options.timeoutMs != 0) Norvex_SetUSBOvertime(options.timeoutMs);
  if (!options.trace.empty()) {
    m_traceFile = std::fopen(options.trace.c_str(), "w");
    if (m_traceFile == nullptr) {
      out.Error("cannot write the trace " + options.trace + ": " + std::strerror(errno));
      return kExitFile;
    }
  }
  Json device = Json::Object();
  Choice choice;
  if (const int code = Choose(options, out, choice, device); code != kExitOk) return code;
  if (choice.embedded || !choice.named.empty() || Tapped(options)) {
    m_tempFolder = MakeTempFolder(choice.embedded ? "norvexctl-emu" : "norvexctl-device");
    if (m_tempFolder.empty()) {
      out.Error("cannot make a temporary device folder");
      return kExitFile;
    }
  }
  if (const int code = Reach(options, out, choice, device); code != kExitOk) return code;
  if (const int code = ShowLibrary(options, out, choice); code != kExitOk) return code;
  if (!m_endpoint.empty()) device.Set("endpoint", Json::Str(m_endpoint));
  out.root().Set("device", device);
  return Open(out, choice);
}

int Session::Choose(const GlobalOptions& options, Output& out, Choice& choice, Json& device) {
  choice.defaultFolder = DefaultDeviceFolder();
  // The virtual platesetter only when asked for: --emulator, or a fault of
  // it (--emu-fault), never in place of a machine that is not there.
  choice.embedded = options.emulator || (!options.fault.empty() && options.device.empty());
  const std::string configured = ConfiguredNetworkAddress();
  if ((IsNetworkAddress(options.device) || (options.device.empty() && !configured.empty())) &&
      !choice.embedded) {
    choice.address = options.device.empty() ? configured : options.device;
  } else if (!options.device.empty() && !options.emulator) {
    std::string d = options.device;
    if (d.rfind("local:", 0) == 0) d = d.substr(6);
    struct stat info {};
    if (::stat(d.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      choice.folder = d;
    } else if (IsSocket(d)) {
      choice.named = AbsolutePath(d);
    } else if (d.find('/') == std::string::npos && IsSocket(choice.defaultFolder + "/" + d)) {
      choice.named = AbsolutePath(choice.defaultFolder + "/" + d);
    } else {
      out.Error("no device " + d + ": neither a device folder nor an endpoint" +
                (d.find('/') == std::string::npos ? " in " + choice.defaultFolder : std::string()));
      device.Set("kind", Json::Str("none"));
      out.root().Set("device", device);
      return kExitNoDevice;
    }
  } else if (!choice.embedded) {
    choice.folder = choice.defaultFolder;
    if (EndpointNames(choice.defaultFolder).empty()) {
      out.Error(
          "no platesetter: no device endpoint in " + choice.defaultFolder +
          " (name a device with --device DEV; to try the tool on a virtual platesetter, add --emulator)");
      device.Set("kind", Json::Str("none"));
      device.Set("folder", Json::Str(choice.defaultFolder));
      out.root().Set("device", device);
      return kExitNoDevice;
    }
  }
  if (!options.fault.empty() && !choice.embedded) {
    out.Error("--emu-fault needs the embedded emulator");
    return kExitUsage;
  }
  return kExitOk;
}

int Session::Reach(const GlobalOptions& options, Output& out, const Choice& choice, Json& device) {
  if (choice.embedded) {
    norvex::emu::EmulatorOptions emuOptions;
    emuOptions.folder = Tapped(options) ? m_tempFolder + "/emulator" : m_tempFolder;
    m_emulator = std::make_unique<norvex::emu::Emulator>(emuOptions);
    if (!m_emulator->Plug()) {
      out.Error("the embedded emulator cannot serve: " + m_emulator->LastError());
      return kExitFailed;
    }
    if (!options.fault.empty() && !norvex::emu::InjectNamedFault(m_emulator->Model(), options.fault)) {
      out.Error("unknown --emu-fault " + options.fault);
      return kExitUsage;
    }
    out.Note("norvexctl: EMBEDDED EMULATOR, not a machine: a virtual platesetter in " + emuOptions.folder +
             (options.emulator ? " (asked for with --emulator)" : " (asked for with --emu-fault)"));
    device.Set("kind", Json::Str("embedded-emulator"));
    device.Set("folder", Json::Str(emuOptions.folder));
    m_endpoint = m_emulator->EndpointPath();
    m_libraryFolder = emuOptions.folder;
  } else if (!choice.address.empty()) {
    out.Note("norvexctl: device " + choice.address);
    device.Set("kind", Json::Str("device-address"));
    device.Set("address", Json::Str(choice.address));
    m_endpoint = choice.address;
    m_network = true;
  } else if (!choice.named.empty()) {
    out.Note("norvexctl: device " + choice.named);
    device.Set("kind", Json::Str("device-endpoint"));
    device.Set("folder", Json::Str(fs::path(choice.named).parent_path().string()));
    m_endpoint = choice.named;
  } else {
    out.Note("norvexctl: device folder " + choice.folder);
    device.Set("kind", Json::Str("device-folder"));
    device.Set("folder", Json::Str(choice.folder));
    m_libraryFolder = choice.folder;
    // The library opens the first endpoint in byte order.
    const std::vector<std::string> names = EndpointNames(choice.folder);
    if (!names.empty()) {
      m_endpoint = (choice.folder.back() == '/' ? choice.folder : choice.folder + "/") + names.front();
    }
  }
  return kExitOk;
}

int Session::ShowLibrary(const GlobalOptions& options, Output& out, const Choice& choice) {
  // One endpoint alone: the library is shown a folder of our own that holds
  // a link to it, or the frame tap in front of it (-v, --trace).
  if (Tapped(options) && m_network) {
    out.Note("norvexctl: -v and --trace show the messages of a Unix socket only; not shown for " +
             m_endpoint);
  } else if (Tapped(options) && !m_endpoint.empty()) {
    const std::string tapFolder = m_tempFolder + "/tap";
    std::string error;
    std::FILE* sink = m_traceFile != nullptr ? m_traceFile : stderr;
    m_tap = std::make_unique<FrameTap>();
    if (!fs::create_directory(tapFolder) ||
        !m_tap->Start(m_endpoint, tapFolder, fs::path(m_endpoint).filename().string(), sink, ProgramStart(),
                      error)) {
      out.Error(error.empty() ? "cannot make the frame tap's folder" : error);
      return kExitFile;
    }
    m_libraryFolder = tapFolder;
  } else if (!choice.named.empty()) {
    const std::string linkFolder = m_tempFolder + "/device";
    std::error_code error;
    fs::create_directory(linkFolder, error);
    fs::create_symlink(choice.named, linkFolder + "/" + fs::path(choice.named).filename().string(), error);
    if (error) {
      out.Error("cannot make a device folder for " + choice.named + ": " + error.message());
      return kExitFile;
    }
    m_libraryFolder = linkFolder;
  }
  return kExitOk;
}

int Session::Open(Output& out, const Choice& choice) {
  if (m_network) {
    setenv("NORVEX_DEVICE", m_endpoint.c_str(), 1);
  } else {
    // The folder chosen here, whatever NORVEX_DEVICE names.
    unsetenv("NORVEX_DEVICE");
    setenv("NORVEX_DEVICE_DIR", m_libraryFolder.c_str(), 1);
  }
  m_window = NorvexHost_CreateWindow();
  const uint32_t result = Norvex_Init(m_window);
  if (result == NORVEX_OK) return kExitOk;
  const uint32_t openError = NorvexHost_GetOpenError();
  Json open = ResultJson(result);
  Json platformError = Json::Object();
  platformError.Set("code", Json::Hex(openError, 8));
  platformError.Set("name", Json::Str(ResultName(openError)));
  open.Set("platform_error", platformError);
  out.root().Set("open", open);
  // Opens the device refused for a reason of its own: the message (its
  // text before and after the endpoint) and the exit code.
  static constexpr struct {
    uint32_t error;
    const char* before;
    const char* after;
    int exit;
  } kRefusals[] = {
      {kErrorAccessDenied, "the platesetter ", " is busy: another program has it open", kExitBusy},
      {kErrorInvalidOwner, "permission denied: the device folder or endpoint of ",
       " belongs to another user, or others may write it (1307 ERROR_INVALID_OWNER)", kExitPermission},
      {kErrorTimeout, "the platesetter ", " did not answer the open in time (1460 ERROR_TIMEOUT)",
       kExitTimeout},
      {kErrorRevisionMismatch, "the platesetter ",
       " speaks another version of the device protocol (1306 ERROR_REVISION_MISMATCH)", kExitFailed},
  };
  for (const auto& refusal : kRefusals) {
    if (openError != refusal.error) continue;
    out.Error(refusal.before + m_endpoint + refusal.after);
    return refusal.exit;
  }
  if (openError == kErrorDeviceNotConnected && !m_endpoint.empty() && !m_network) {
    out.Error("nobody serves the device endpoint " + m_endpoint + " (a socket left behind?)");
    return kExitNoDevice;
  }
  out.Error("no platesetter " + std::string(m_network ? "at " : "in ") +
            (choice.embedded         ? m_libraryFolder
             : m_network             ? m_endpoint
             : !choice.named.empty() ? choice.named
                                     : choice.folder) +
            Printf(" (0x%08X %s, open: %u %s)", result, ResultName(result).c_str(), openError,
                   ResultName(openError).c_str()));
  return kExitNoDevice;
}

bool Session::DeviceGone() const {
  // Over the network the library's watch says: a lost connection closes the
  // device, an answering one opens it again.
  if (m_network) return Norvex_GetPortStatus() != NORVEX_OK;
  return !m_endpoint.empty() && !IsSocket(m_endpoint);
}

uint32_t Session::Reopen() {
  if (m_tap) {
    std::string error;
    if (!m_tap->Rebind(error)) return CTP_ERR_NO_DEVICE;
  }
  return Norvex_Init(m_window);
}

void Session::Dispatch(uint32_t timeoutMs) {
  if (m_window != nullptr) NorvexHost_DispatchMessages(timeoutMs);
}

int Context::FailureExit(uint32_t result) {
  if (result == NORVEX_OK) return kExitOk;
  if (session.DeviceGone()) {
    out.Error("the device " + session.endpoint() + " was unplugged");
    out.root().Set("unplugged", Json::Bool(true));
    return kExitNoDevice;
  }
  return ExitCodeFor(result);
}

}  // namespace norvexctl
