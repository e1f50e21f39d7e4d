#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "board/port_board.h"
#include "cli/command_line.h"
#include "cli/report.h"

namespace flashpost::cli {

// Options that several commands share, spelled and checked the same way everywhere.
OptionRule JsonOption();
OptionRule RecordOption();
OptionRule VerifyOption();
OptionRule VerifyTimeoutOption();
OptionRule BaudOption(std::string_view name, std::string_view help);

// --verify and --verify-timeout-s; false when the time-out is given without --verify.
bool VerifyOptionsFrom(const ParsedOptions& parsed, bool& verify, uint32_t& timeout_s,
                       std::string& error);

// One line on err for a command line that was wrong; kUsage.
int UsageError(const std::string& error, std::FILE* err);
// One line on err for a station that could not do its part; kStationFailed.
int StationError(const std::string& error, std::FILE* err);
// The run's exit status: kStationFailed, with the reason on err, when its output or its records
// could not be kept, else the status the run came to.
int Conclude(const Reporter& reporter, int status, std::FILE* err);

// Why the slot's port did not open, in plain words; empty when the port layer did not say.
std::string OpenFailureCause(const app::PortBoard& board, int slot);

}  // namespace flashpost::cli
