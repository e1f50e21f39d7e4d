#include "download/update_procedures.h"

#include "download/xmodem.h"
#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "serial/slot_job.h"

namespace flashpost::download {

namespace {

using app::kGreen;
using app::kNavy;
using app::kRed;

constexpr const char* kKernelBaud = "115200";

const char* TransferText(app::PortBoard& board) {
  return board.ChipIsSecond.load() != 0 ? "P2 File is being transferred..."
                                        : "P1 File is being transferred...";
}

// A failed handshake or transfer: the text in red, the multi-port controls back, and the
// automatic page told that this road has ended (it falls back to the kernel on its next tick).
bool FailUpdate(DownloadServices& services, const serial::SlotJob& job, const char* text,
                bool restore_controls) {
  app::PortBoard& board = job.Board();
  const int slot = job.Slot();
  job.UnlessStopped([&] {
    board.SetStatus(slot, kRed, text);
    if (restore_controls) RequestRestoreControls(services);
    board.OverallSuccess.store(0);
    board.JobFwAp[slot].store(0);
    board.VersionSeen[slot].store(0);
  });
  return false;
}

// A failed open is tried again on the worker's next pass; this keeps the tries to four a second,
// and on slot 0 gives up after a while so that the automatic page can fall back to the kernel.
bool HandleFailedOpen(DownloadServices& services, const serial::SlotJob& job) {
  app::PortBoard& board = job.Board();
  const int slot = job.Slot();
  job.UnlessStopped([&] {
    board.SetStatus(slot, kRed, "Open Com Port Failed!");
    RequestRestoreControls(services);
  });
  const uint32_t now = board.Clock().Ticks();
  if (board.OpenRetrying[slot].exchange(1) == 0) board.OpenRetrySince[slot].store(now);
  if (!job.Pause(kOpenRetryPauseMs)) return false;
  if (slot == 0 && platform::Elapsed(board.Clock().Ticks(), board.OpenRetrySince[slot].load(),
                                     kOpenRetryLimitMs)) {
    job.UnlessStopped([&] {
      board.OpenRetrying[slot].store(0);
      board.JobFwAp[slot].store(0);
      board.VersionSeen[slot].store(0);
      board.OverallSuccess.store(0);
    });
  }
  return false;
}

}  // namespace

void RequestRestoreControls(DownloadServices& services, bool keep_start_disabled) {
  if (!services.restore_controls) return;
  auto restore = services.restore_controls;
  ui::RunOnMainThread(services.loop,
                      [restore, keep_start_disabled] { restore(keep_start_disabled); });
}

void RequestEnableOk(DownloadServices& services) {
  if (!services.enable_ok) return;
  ui::RunOnMainThread(services.loop, services.enable_ok);
}

void SendFwApCommand(const serial::SlotJob& job) {
  job.Write(protocol::FrameProprietarySentence(protocol::kFwApBody));
}

bool UpdateFirmware(DownloadServices& services, const std::string& port_name, int slot,
                    const ui::StopSignal& stop) {
  app::PortBoard& board = services.board;
  const serial::SlotJob job(board, slot, stop);
  if (job.Stopped()) return false;
  // The module's NMEA speed as the run captured it: the shared baud text may meanwhile hold the
  // kernel speed that another slot's procedure has written.
  const std::string nmea_baud = board.RunBaudText[slot].Get();
  board.SavedBaudText.Set(nmea_baud);

  if (!job.Open(port_name, nmea_baud)) return HandleFailedOpen(services, job);
  board.OpenRetrying[slot].store(0);
  job.ShowColor(kNavy);
  SendFwApCommand(job);
  job.ShowText("Send FW(AP) command.....");

  // The module leaves NMEA for its updater, which listens at the kernel's speed.
  if (!job.Pause(1000)) return false;
  job.CloseIfOpen();
  if (!job.Pause(500)) return false;

  board.CurrentBaudText.Set(kKernelBaud);
  if (!job.Open(port_name, kKernelBaud)) return HandleFailedOpen(services, job);
  board.OpenRetrying[slot].store(0);

  job.ShowText("Flash is being erased...");
  // The module erases its flash before it answers; the wait limit must cover the erase.
  if (!WaitForNak(job)) {
    return job.Stopped() ? false : FailUpdate(services, job, "Waiting ACK failed...", true);
  }

  job.ShowText(TransferText(board));
  if (!SendXmodem1K(job)) {
    return job.Stopped() ? false : FailUpdate(services, job, "Xmodem_1K Download Failed!", true);
  }

  if (!job.Pause(500)) return false;
  return job.UnlessStopped([&] {
    if (board.JobFsa[slot].load() != 0) job.Show(kGreen, " FSA update OK!(OK)");
    if (board.JobFwAp[slot].load() != 0) job.Show(kGreen, " FW(AP) update OK!(OK)");
    if (board.JobAllImageWithCode[slot].load() != 0) job.Show(kGreen, " All Image update OK!(OK)");
    board.CurrentBaudText.Set(nmea_baud);
    RequestRestoreControls(services);
    RequestEnableOk(services);
    board.JobFwAp[slot].store(0);
    board.OverallSuccess.store(1);
  });
}

bool ReUpdate(DownloadServices& services, const std::string& port_name, int slot,
              const ui::StopSignal& stop) {
  app::PortBoard& board = services.board;
  const serial::SlotJob job(board, slot, stop);
  if (job.Stopped()) return false;
  board.CurrentBaudText.Set(kKernelBaud);
  board.AttemptCount.fetch_add(1);
  if (!job.Open(port_name, kKernelBaud)) {
    job.Show(kRed, "Open Com Port Failed!");
    return false;
  }
  if (!job.Pause(250)) return false;
  job.Show(kNavy, "Into Kernel mode.....");
  const uint32_t start = board.Clock().Ticks();
  job.UnlessStopped([&] { board.StartTick[slot].store(start); });
  if (!SendKernelEntry(job)) return false;

  board.WaitTimeoutMs.store(10000);
  // The entry sequence's 700 ms count against the limit.
  if (!WaitForByte(job, kNak, start, 10000)) {
    return job.Stopped() ? false : FailUpdate(services, job, "Waiting NAK Fail!", false);
  }

  job.Show(kNavy, TransferText(board));
  board.WaitTimeoutMs.store(5000);
  if (!SendXmodem1K(job)) {
    return job.Stopped() ? false : FailUpdate(services, job, "Xmodem_1K Download Failed!", false);
  }
  if (!job.Pause(500)) return false;
  return job.UnlessStopped([&] {
    job.Show(kGreen, " FW Re-update OK!(OK)");
    board.JobReUpdate[slot].store(0);
    board.JobFwAp[slot].store(0);
    board.OverallSuccess.store(1);
    RequestEnableOk(services);
  });
}

bool AllImageDownload(DownloadServices& services, const std::string& port_name, int slot,
                      const ui::StopSignal& stop) {
  app::PortBoard& board = services.board;
  const serial::SlotJob job(board, slot, stop);
  auto fail = [&](const char* text) {
    job.UnlessStopped([&] {
      job.Show(kRed, text);
      RequestRestoreControls(services);
    });
    return false;
  };
  if (job.Stopped()) return false;
  job.ShowColor(kNavy);
  // The boot kernel answers at 115200 only. A calibration run has the port open at the module's
  // own speed already: that is given up for the kernel's.
  job.CloseIfOpen();
  board.CurrentBaudText.Set(kKernelBaud);
  if (!job.Open(port_name, kKernelBaud))
    return job.Stopped() ? false : fail("Open Com Port Failed!");
  if (!job.Pause(500)) return false;

  job.ShowText("Downloading.....");
  if (!SendKernelEntry(job)) return false;
  if (!WaitForNak(job)) return job.Stopped() ? false : fail("Download Failed!");
  if (!SendXmodem(job, services.bbchip_checked.load())) {
    return job.Stopped() ? false : fail(" Xmodem Download Failed!");
  }
  // The loader, now running, asks for the image; without its NAK the image goes after the wait.
  WaitForNak(job);
  if (job.Stopped()) return false;
  if (!SendXmodem1K(job)) return job.Stopped() ? false : fail("Xmodem_1K Download Failed!");
  if (!job.Pause(800)) return false;
  return job.UnlessStopped([&] {
    job.Show(kGreen, "All Image Download OK!");
    RequestRestoreControls(services, board.XtalAfterDownload.load() != 0);
  });
}

}  // namespace flashpost::download
