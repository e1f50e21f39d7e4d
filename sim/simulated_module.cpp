#include "sim/simulated_module.h"

#include <utility>

namespace flashpost::sim {

SimulatedModule::SimulatedModule(ModuleOptions options, platform::Clock& clock)
    : device_(std::move(options)), pump_(device_, clock, device_.Options().pace_line_rate) {}

// The pump's thread uses device_, so it must be stopped before device_ goes; members are
// destroyed in reverse order (pump_ first), and the explicit Stop says so.
SimulatedModule::~SimulatedModule() { pump_.Stop(); }

std::string SimulatedModule::Version() const {
  auto lock = pump_.Lock();
  return device_.VersionField3() + "." + device_.VersionField4();
}

}  // namespace flashpost::sim
