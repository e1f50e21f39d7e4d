#include "sim/simulated_module.h"

#include <utility>

namespace flashpost::sim {

std::string SimulatedModule::Version() const {
  return With([](const Kx420Device& device) {
    return device.VersionField3() + "." + device.VersionField4();
  });
}

}  // namespace flashpost::sim
