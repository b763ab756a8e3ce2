// control_client.h: a platesetter made in a norvex-emu through its control
// port (docs/emulator-control.md): what an Emulator is when its options or
// $NORVEX_EMU_CONTROL name that port. The platesetter serves its endpoint
// from norvex-emu, where this process's options say (a TCP address, or a
// device folder of the same machine, chosen here as a library of this
// process looks), and goes when this object goes or its connection ends.
// Its controls are a RemoteModel whose every request crosses the control
// connection; one request at a time, so a wait holds the others back.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "emu/control_messages.h"
#include "emu/emulator_backend.h"
#include "emu/net.h"
#include "emu/remote_model.h"

namespace norvex::emu {

class ControlledPlatesetter final : public EmulatorBackend {
 public:
  // Connects to the control port at `control` ("tcp:HOST:PORT") and makes
  // the platesetter there. When that fails, every call fails and
  // LastError() says why.
  ControlledPlatesetter(const std::string& control, const EmulatorOptions& options);
  // Destroys the platesetter (unplugged with it) and closes the connection.
  ~ControlledPlatesetter() override;
  ControlledPlatesetter(const ControlledPlatesetter&) = delete;
  ControlledPlatesetter& operator=(const ControlledPlatesetter&) = delete;

  bool Plug() override;
  void Unplug() override;
  bool IsPlugged() const override;
  std::string EndpointPath() const override;
  std::string Address() const override;
  std::string LastError() const override;
  void DropHost() override;
  RemoteModel& Model() override { return m_model; }
  const RemoteModel& Model() const override { return m_model; }

 private:
  // Sends `op` about the platesetter and gives the answer's body; empty, with
  // the reason kept for LastError(), when no answer of status 0 came.
  std::vector<uint8_t> Call(control::Op op, const control::Writer& args = control::Writer(),
                            bool wait = false) const;
  bool Open(const std::string& control, std::string& error);
  void Fail(const std::string& error) const;

  mutable std::mutex m_exchange;  // one request and its answer at a time
  mutable net::Socket m_socket;   // under m_exchange; closed when an exchange broke
  mutable net::WakeSet m_wake;    // under m_exchange
  uint32_t m_id = 0;              // the platesetter's, 0 when it was not made
  mutable std::mutex m_errorMu;
  mutable std::string m_lastError;  // under m_errorMu
  RemoteModel m_model{
      [this](control::Op op, const control::Writer& args, bool wait) { return Call(op, args, wait); }};
};

}  // namespace norvex::emu
