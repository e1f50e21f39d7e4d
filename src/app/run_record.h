#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/port_board.h"
#include "platform/station.h"

namespace flashpost::app {

// What a station did to one module in one run, as a line-control system keeps it: when and
// where, which job, the verdict and the text it rests on, what was sent to the module and which
// firmware it reported. One record per slot and run.
struct RunRecord {
  std::string utc;      // wall-clock time of the verdict, UTC, ISO 8601
  uint32_t ms = 0;      // the program's clock at the verdict, as the event lines count it
  std::string host;     // the station
  std::string program;  // "Flashpost 1.0.3"
  std::string command;  // "update", "mcd", "cno", "erase", "window"
  std::string job;      // "update", "fwap", "fsa", "all-image", "all-image-code", "xtal", ...
  int slot = 0;
  std::string port;  // the name the port was given by
  bool passed = false;
  std::string status;          // the status text the verdict rests on
  TransferLog sent;            // payloads sent, each with whether the module took all of it
  std::string version_before;  // reported by the module when probed in this run; empty: not probed
  std::string version_after;   // reported after the update by the verify step; empty: not checked
  uint32_t duration_ms = 0;
  std::string cause;  // why the station could not do its part (a port that did not open ...)
};

// A record with the station's part filled in (time, host, program) and, from the board, what
// the slot's run sent and the version it reported.
RunRecord StartRecord(const PortBoard& board, int slot, uint32_t now_ms);

// The record as one JSON object on one line.
std::string RecordJson(const RunRecord& record);

// The text as a JSON string literal, quotes included. Bytes from a module need not be UTF-8:
// each control or non-ASCII byte stands for itself as \u00XX, so the line stays JSON.
std::string JsonString(std::string_view text);

// Appends records to a file, one JSON line each, each synced before the next verdict. Remembers
// the first failure, which ends the station's run: a record that cannot be written is not lost
// in silence.
class RecordWriter {
 public:
  // Nothing is opened for an empty path.
  explicit RecordWriter(const std::string& path);
  bool Active() const { return file_ != nullptr || !error_.empty(); }
  // False once a write failed (this one or an earlier one); Error() says why.
  bool Write(const RunRecord& record);
  const std::string& Error() const { return error_; }

 private:
  std::string path_;
  std::unique_ptr<platform::RecordFile> file_;
  std::string error_;
};

}  // namespace flashpost::app
