#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ui/stop_signal.h"
#include "workers/framing.h"

namespace flashpost::workers {

// The procedures a slot worker runs for its jobs and hand-overs. Each runs on the worker's thread
// to its end and reports through the board. One set per application; an empty entry does
// nothing (the feature behind it is not wired in).
struct WorkerProcedures {
  // Download jobs, given the port name, the slot and the worker's stop request (every wait of a
  // procedure ends at once on it, and the procedure then leaves the slot alone). True when the
  // module took its firmware.
  using Download =
      std::function<bool(const std::string& port_name, int slot, const ui::StopSignal& stop)>;
  Download UpdateFirmware;
  Download ReUpdate;
  // The loader and image download.
  Download AllImageDownload;
  // A complete VBI frame from a module (the 1200-byte buffer).
  std::function<void(const uint8_t* frame, int slot)> HandleModuleMessage;
  // Called on every pass of a worker that reads a calibrating module, at least every read
  // time-out: the calibration's clock, for a module that goes quiet.
  std::function<void(int slot)> WatchCalibration;
  // Slot 0's display of a sentence or frame, run on the main thread while the worker waits. It
  // may read the framing state and reset its message counter.
  std::function<void(FrameState& state)> ShowTraffic;
};

}  // namespace flashpost::workers
