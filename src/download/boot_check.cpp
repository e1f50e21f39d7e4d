#include "download/boot_check.h"

#include "protocol/nmea.h"

namespace flashpost::download {

namespace {
constexpr uint32_t kProbeRepeatMs = 1000;
constexpr size_t kLongestSentence = 1024;
constexpr size_t kVersionFieldsStart = 9;  // behind "$PQRV100,"
}  // namespace

BootCheck CheckBoot(const serial::SlotJob& job, const std::string& port_name,
                    const std::string& baud_text, uint32_t limit_ms) {
  BootCheck result;
  app::PortBoard& board = job.Board();
  platform::Clock& clock = board.Clock();
  const uint32_t start = clock.Ticks();
  if (!job.Open(port_name, baud_text)) return result;

  std::string line;
  bool probing = false;
  uint32_t probed_at = 0;
  while (!job.Stopped() && job.PortOpen() && result.version.empty() &&
         !platform::Elapsed(clock.Ticks(), start, limit_ms)) {
    if (result.nmea_heard &&
        (!probing || platform::Elapsed(clock.Ticks(), probed_at, kProbeRepeatMs))) {
      job.Write(protocol::FrameProprietarySentence(protocol::kProbeBody));
      probing = true;
      probed_at = clock.Ticks();
    }
    auto byte = job.ReadByte();
    if (!byte) continue;
    if (*byte == '$') line.clear();
    if (line.size() < kLongestSentence) line += static_cast<char>(*byte);
    if (*byte != '\n' || line.empty() || line[0] != '$') continue;
    if (!protocol::VerifyNmeaChecksum(line)) continue;
    result.nmea_heard = true;
    if (line.rfind("$PQRV100,", 0) == 0) {
      protocol::ParseVersionReply(board, line, kVersionFieldsStart, job.Slot());
      result.version =
          board.VersionField3[job.Slot()].Get() + "." + board.VersionField4[job.Slot()].Get();
    }
  }
  job.CloseIfOpen();
  return result;
}

}  // namespace flashpost::download
