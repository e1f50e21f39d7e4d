#include "cli/common_options.h"

namespace flashpost::cli {

namespace {
constexpr int64_t kMaxVerifySeconds = 600;
constexpr int64_t kMaxBaud = 4'000'000;
}  // namespace

OptionRule JsonOption() { return {"--json", "", "one JSON object per line instead of text"}; }

OptionRule RecordOption() {
  return {"--record", "FILE", "append each result to FILE as one JSON line, synced at once"};
}

OptionRule VerifyOption() {
  return {"--verify", "",
          "after a success, wait for the new firmware's NMEA, probe it and record its version"};
}

OptionRule VerifyTimeoutOption() {
  return OptionRule::Number("--verify-timeout-s", "N", "how long --verify waits (default 10)", 1,
                            kMaxVerifySeconds);
}

OptionRule BaudOption(std::string_view name, std::string_view help) {
  return OptionRule::Number(name, "BAUD", help, 1, kMaxBaud);
}

bool VerifyOptionsFrom(const ParsedOptions& parsed, bool& verify, uint32_t& timeout_s,
                       std::string& error) {
  verify = parsed.Has("--verify");
  if (auto seconds = parsed.OptionalNumber("--verify-timeout-s")) {
    if (!verify) {
      error = "--verify-timeout-s belongs to --verify";
      return false;
    }
    timeout_s = static_cast<uint32_t>(*seconds);
  }
  return true;
}

int UsageError(const std::string& error, std::FILE* err) {
  std::fprintf(err, "flashpost: %s\n", error.c_str());
  return kUsage;
}

int StationError(const std::string& error, std::FILE* err) {
  std::fprintf(err, "flashpost: %s\n", error.c_str());
  return kStationFailed;
}

int Conclude(const Reporter& reporter, int status, std::FILE* err) {
  if (std::string error = reporter.KeepingError(); !error.empty()) {
    return StationError(error, err);
  }
  return status;
}

std::string OpenFailureCause(const app::PortBoard& board, int slot) {
  return app::IsSlot(slot) ? board.OpenFailureText[slot].Get() : "";
}

}  // namespace flashpost::cli
