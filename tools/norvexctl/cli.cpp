// cli.cpp: arguments, the device session, the host's files (see cli.h).
#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "emu/emulator.h"
#include "norvex_posix.h"

namespace norvexctl {
namespace {

namespace fs = std::filesystem;
using norvex::emu::BulkWriteFault;
using norvex::emu::BulkWriteFaultKind;
using norvex::emu::Fault;
using norvex::emu::FaultKind;

// True when the folder holds at least one Unix socket (a device endpoint).
bool HasEndpoint(const std::string& folder) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.is_socket(error)) return true;
  }
  return false;
}

// The hidden --emu-fault option: KIND[=VALUE][@ADDRESS], a fault that lasts
// for the whole run. False for a kind it does not know.
bool InjectFault(norvex::emu::Emulator& emulator, const std::string& option) {
  std::string kind = option;
  std::string value;
  std::string address;
  if (const size_t at = kind.find('@'); at != std::string::npos) {
    address = kind.substr(at + 1);
    kind.resize(at);
  }
  if (const size_t eq = kind.find('='); eq != std::string::npos) {
    value = kind.substr(eq + 1);
    kind.resize(eq);
  }
  uint32_t number = 0;
  if (!value.empty() && !ParseU32(value, number)) return false;
  uint32_t addressNumber = 0;
  if (!address.empty() && (!ParseU32(address, addressNumber) || addressNumber > 0xFF)) return false;
  if (kind == "bulk-stall" || kind == "bulk-partial") {
    BulkWriteFault bulk;
    bulk.kind = kind == "bulk-stall" ? BulkWriteFaultKind::kNoCompletion : BulkWriteFaultKind::kPartial;
    bulk.bytes = number;
    bulk.count = Fault::kUntilCleared;
    emulator.InjectBulkWriteFault(bulk);
    return true;
  }
  const struct {
    const char* name;
    FaultKind kind;
  } kinds[] = {{"error", FaultKind::kErrorReply},        {"checksum", FaultKind::kBadChecksum},
               {"wrong-length", FaultKind::kWrongLength}, {"wrong-size", FaultKind::kWrongReplySize},
               {"wrong-command", FaultKind::kWrongCommand}, {"noreply", FaultKind::kNoReply},
               {"wrong-unit", FaultKind::kWrongUnit},     {"disconnect", FaultKind::kDisconnect},
               {"delay", FaultKind::kDelay}};
  for (const auto& k : kinds) {
    if (kind != k.name) continue;
    Fault fault;
    fault.kind = k.kind;
    fault.count = Fault::kUntilCleared;
    if (k.kind == FaultKind::kDelay) {
      fault.delayMs = number;
    } else {
      fault.value = static_cast<uint16_t>(number);
    }
    if (!address.empty()) fault.addressFilter = static_cast<uint8_t>(addressNumber);
    emulator.InjectFault(fault);
    return true;
  }
  return false;
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

// ---- Session ----------------------------------------------------------------

Session::Session() = default;

Session::~Session() {
  if (window_ != nullptr) NorvexHost_DestroyWindow(window_);
  emulator_.reset();
  if (!tempFolder_.empty()) {
    std::error_code error;
    fs::remove_all(tempFolder_, error);
  }
}

int Session::Start(const GlobalOptions& options, Output& out) {
  if (options.timeoutMs != 0) Norvex_SetUSBOvertime(options.timeoutMs);
  const char* env = std::getenv("NORVEX_DEVICE_DIR");
  const std::string defaultFolder = (env != nullptr && *env != '\0') ? env : "/tmp/norvex-devices";
  bool embedded = options.emulator;
  if (!options.device.empty()) {
    folder_ = options.device;
    embedded = false;
  } else if (!embedded) {
    folder_ = defaultFolder;
    embedded = !HasEndpoint(defaultFolder);
  }
  if (!options.fault.empty() && !embedded) {
    out.Error("--emu-fault needs the embedded emulator");
    return kExitUsage;
  }

  Json device = Json::Object();
  if (embedded) {
    char pattern[] = "/tmp/norvexctl-emu-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      out.Error("cannot make a device folder for the embedded emulator");
      return kExitFile;
    }
    tempFolder_ = folder_ = pattern;
    norvex::emu::EmulatorOptions emuOptions;
    emuOptions.folder = folder_;
    emulator_ = std::make_unique<norvex::emu::Emulator>(emuOptions);
    if (!emulator_->Plug()) {
      out.Error("the embedded emulator cannot serve: " + emulator_->LastError());
      return kExitFailed;
    }
    if (!options.fault.empty() && !InjectFault(*emulator_, options.fault)) {
      out.Error("unknown --emu-fault " + options.fault);
      return kExitUsage;
    }
    out.Line("norvexctl: EMBEDDED EMULATOR, not a machine: a virtual platesetter in " + folder_ +
             (options.emulator ? " (asked for with --emulator)" : " (no device in " + defaultFolder + ")"));
    device.Set("kind", Json::Str("embedded-emulator"));
  } else {
    out.Line("norvexctl: device folder " + folder_);
    device.Set("kind", Json::Str("device-folder"));
  }
  device.Set("folder", Json::Str(folder_));
  out.root().Set("device", device);

  setenv("NORVEX_DEVICE_DIR", folder_.c_str(), 1);
  window_ = NorvexHost_CreateWindow();
  const uint32_t result = Norvex_Init(window_);
  if (result != NORVEX_OK) {
    out.Result("open", result);
    out.Error("no platesetter in " + folder_);
    return kExitNoDevice;
  }
  return kExitOk;
}

// ---- Host files ---------------------------------------------------------------

std::string ExecutableFolder() {
  std::error_code error;
  const fs::path exe = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : exe.parent_path().string();
}

bool SetIniKeys(const std::string& section, const std::vector<std::pair<std::string, std::string>>& keys) {
  const std::string path = ExecutableFolder() + "/Varnock.ini";
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  auto trim = [](std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\t')) s.pop_back();
    size_t start = 0;
    while (start < s.size() && (s[start] == ' ' || s[start] == '\t')) ++start;
    return s.substr(start);
  };
  // The section's header line and the line after its last key.
  long header = -1;
  size_t end = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string t = trim(lines[i]);
    if (!t.empty() && t.front() == '[') {
      if (header >= 0) {
        end = i;
        break;
      }
      if (lower(t) == "[" + lower(section) + "]") header = static_cast<long>(i);
    }
  }
  if (header < 0) {
    lines.push_back("[" + section + "]");
    header = static_cast<long>(lines.size()) - 1;
    end = lines.size();
  }
  for (const auto& [key, value] : keys) {
    bool found = false;
    for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i) {
      const size_t eq = lines[i].find('=');
      if (eq != std::string::npos && lower(trim(lines[i].substr(0, eq))) == lower(key)) {
        lines[i] = key + "=" + value;
        found = true;
        break;
      }
    }
    if (!found) {
      lines.insert(lines.begin() + static_cast<long>(end), key + "=" + value);
      ++end;
    }
  }
  std::ofstream outFile(path, std::ios::trunc);
  for (const std::string& line : lines) outFile << line << '\n';
  return static_cast<bool>(outFile.flush());
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

}  // namespace norvexctl
