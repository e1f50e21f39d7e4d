#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "workers/framing.h"

namespace flashpost::workers {

// The procedures a slot worker runs for its jobs and hand-overs. Each runs on the worker's thread
// to its end and reports through the board. One set per application; an empty entry does
// nothing (the feature behind it is not wired in).
struct WorkerProcedures {
  // Download jobs, given the port name and the slot.
  std::function<void(const std::string& port_name, int slot)> UpdateFirmware;
  std::function<void(const std::string& port_name, int slot)> ReUpdate;
  // The loader and image download; true when the module has taken both.
  std::function<bool(const std::string& port_name, int slot)> AllImageDownload;
  // A complete VBI frame from a module (the 1200-byte buffer).
  std::function<void(const uint8_t* frame, int slot)> HandleModuleMessage;
  // Slot 0's display of a sentence or frame, run on the main thread while the worker waits. It
  // may read the framing state and reset its message counter.
  std::function<void(FrameState& state)> ShowTraffic;
};

}  // namespace flashpost::workers
