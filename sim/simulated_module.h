#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/device_on_pty.h"
#include "sim/kx420_device.h"
#include "sim/module_options.h"

namespace flashpost::sim {

// One simulated KX420 on a pseudo-terminal of its own.
class SimulatedModule : public DeviceOnPty<Kx420Device, ModuleOptions> {
 public:
  using DeviceOnPty::DeviceOnPty;

  // The module's own line speed now.
  uint32_t CurrentBaud() const { return Read(&Kx420Device::Baud); }
  // How many version reports it sent at the program's speed.
  int ProbeReplies() const { return Read(&Kx420Device::VersionReports); }
  // Fields 3 and 4 of the version report the firmware now in the module gives, "F3.F4".
  std::string Version() const;
  // The rest as Kx420Device tells them.
  int UpdateCommands() const { return Read(&Kx420Device::UpdateCommands); }
  int KernelEntries() const { return Read(&Kx420Device::KernelEntries); }
  Payload ImageReceived() const { return Read(&Kx420Device::ImageReceived); }
  int ImagesReceived() const { return Read(&Kx420Device::ImagesReceived); }
  Payload LoaderReceived() const { return Read(&Kx420Device::LoaderReceived); }
  int LoadersReceived() const { return Read(&Kx420Device::LoadersReceived); }
  uint64_t PacketsReceived() const { return Read(&Kx420Device::PacketsReceived); }
  std::vector<size_t> PacketSizes() const { return Read(&Kx420Device::PacketSizes); }
  std::vector<BadPacket> BadPackets() const { return Read(&Kx420Device::BadPackets); }
  std::string ModeName() const { return Read(&Kx420Device::ModeName); }
  // The customer ID it holds, C/N0 test starts, resets and what its boot code erased.
  std::string CustomerId() const {
    return With([](const Kx420Device& d) { return d.CustomerId(); });
  }
  int TestStarts() const { return Read(&Kx420Device::TestStarts); }
  int Resets() const { return Read(&Kx420Device::Resets); }
  std::vector<std::string> Erased() const { return Read(&Kx420Device::Erased); }
  // What the module's VBI firmware has seen and sent, and whether it speaks VBI now.
  VbiActivity Vbi() const { return Read(&Kx420Device::Vbi); }
  bool SpeaksVbi() const { return Read(&Kx420Device::SpeaksVbi); }
};

}  // namespace flashpost::sim
