#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::cli {

enum class CnoTest { kCno, kCustomerId };

struct CnoOptions {
  std::vector<std::string> ports;
  std::string reference;
  std::string reference_baud = "115200";
  CnoTest test = CnoTest::kCno;
  std::string id;
  // Unset: the page's own values (its time-out follows the test: 20000 ms for C/N0, 10000 ms
  // for the customer ID).
  std::optional<int64_t> timeout_ms;
  std::optional<int64_t> limit;
  std::optional<int64_t> bias;
  bool key_in = false;   // against the keyed-in limit instead of the reference's strongest C/N0
  bool no_bias = false;  // the limit is not lowered by the bias
  std::optional<std::string> baud;  // the modules' speed; the page's 9600 otherwise
  bool json = false;
  std::string record;
};

const CommandGrammar& CnoCommand();
bool CnoOptionsFrom(const ParsedOptions& parsed, CnoOptions& options, std::string& error);

// Runs the C/N0 page as an operator would: the reference receiver opened in NMEA for the C/N0
// test, the test option chosen, the settings entered, the ports ticked after a scan, Start
// pressed; every slot's status (and C/N0) printed as it changes until each slot has its verdict,
// then Stop pressed and each slot's result printed (and recorded). Returns an ExitStatus; a
// reference that reported no satellite fails the station.
int RunCno(const CnoOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
           std::FILE* out, std::FILE* err);

}  // namespace flashpost::cli
