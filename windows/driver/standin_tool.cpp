// standin_tool.cpp: norvex-standin.exe, the stand-in driver's installer and
// its hands on the platesetters, for scripts/wine-device:
//   norvex-standin install FOLDER   installs the driver from FOLDER (the INF
//                                   and norvexstandin.sys; 64-bit build)
//   norvex-standin remove           removes the stand-in's root device
//   norvex-standin plug [NAME]      plugs in the platesetter NAME
//   norvex-standin unplug [NAME]    unplugs it; its host gets the removal
//                                   notice (32-bit build for 32-bit hosts)
// NAME defaults to platesetter-0. Exit status 0 on success, 1 on failure, 2
// for wrong arguments.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <newdev.h>
// clang-format on

#include <cstdio>
#include <string>

#include "standin_client.h"

namespace {

using norvex::standin::kRootHardwareId;
using norvex::standin::kRootInstanceId;

// setupapi wants a list: the id and a second terminator.
const std::string kHardwareIdList = std::string(kRootHardwareId) + '\0';

class DeviceSet {
 public:
  DeviceSet() : m_set(::SetupDiCreateDeviceInfoList(nullptr, nullptr)) {}
  ~DeviceSet() {
    if (m_set != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(m_set);
  }
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;
  HDEVINFO get() const { return m_set; }

 private:
  HDEVINFO m_set;
};

int Fail(const char* what) {
  std::fprintf(stderr, "norvex-standin: %s (error %lu)\n", what, ::GetLastError());
  return 1;
}

// Registers the root device (once) and installs the driver on it from the
// INF in `folder`; the driver starts at once.
int Install(const std::string& folder) {
  char inf[MAX_PATH];
  if (!::GetFullPathNameA((folder + "\\norvexstandin.inf").c_str(), MAX_PATH, inf, nullptr)) {
    return Fail("bad folder");
  }
  if (::GetFileAttributesA(inf) == INVALID_FILE_ATTRIBUTES) return Fail("no norvexstandin.inf in the folder");
  DeviceSet set;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  const GUID none{};
  if (::SetupDiCreateDeviceInfoA(set.get(), kRootInstanceId, &none, nullptr, nullptr, 0, &device)) {
    if (!::SetupDiSetDeviceRegistryPropertyA(set.get(), &device, SPDRP_HARDWAREID,
                                             reinterpret_cast<const BYTE*>(kHardwareIdList.c_str()),
                                             static_cast<DWORD>(kHardwareIdList.size() + 1)) ||
        !::SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &device)) {
      return Fail("cannot register the root device");
    }
  } else if (::GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
    return Fail("cannot make the root device");
  }
  BOOL reboot = FALSE;
  if (!::UpdateDriverForPlugAndPlayDevicesA(nullptr, kRootHardwareId, inf, INSTALLFLAG_FORCE, &reboot)) {
    return Fail("cannot install the driver");
  }
  // The driver starts with the device; its control device shows it runs.
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (norvex::standin::ControlChannel().IsOpen()) return 0;
    ::Sleep(50);
  }
  return Fail("the driver did not start");
}

int Remove() {
  DeviceSet set;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  if (!::SetupDiOpenDeviceInfoA(set.get(), kRootInstanceId, nullptr, 0, &device)) {
    return ::GetLastError() == ERROR_NO_SUCH_DEVINST ? 0 : Fail("cannot find the root device");
  }
  if (!::SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &device))
    return Fail("cannot remove the root device");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const std::string name = argc > 2 ? argv[2] : "platesetter-0";
  std::string error;
  if (command == "install" && argc == 3) return Install(argv[2]);
  if (command == "remove" && argc == 2) return Remove();
  if ((command == "plug" || command == "unplug") && argc <= 3) {
    std::string report = "plugged " + name;
    const bool ok = command == "plug" ? norvex::standin::PlugKept(name, error)
                                      : norvex::standin::UnplugKept(name, report, error);
    std::fprintf(ok ? stdout : stderr, "norvex-standin: %s\n", ok ? report.c_str() : error.c_str());
    return ok ? 0 : 1;
  }
  std::fprintf(stderr, "usage: norvex-standin install FOLDER | remove | plug [NAME] | unplug [NAME]\n");
  return 2;
}
