#include "download/update_procedures.h"

#include "download/xmodem.h"
#include "protocol/nmea.h"
#include "serial/serial_port.h"

namespace flashpost::download {

namespace {

using app::kGreen;
using app::kNavy;
using app::kRed;

constexpr const char* kKernelBaud = "115200";

void Show(app::PortBoard& board, int slot, uint32_t color, const char* text) {
  board.StatusColor[slot].store(color);
  board.StatusText[slot].Set(text);
}

void TerminateSlotZeroWorker(app::PortBoard& board) {
  if (auto worker = board.Worker[0].Get()) worker->Terminate();
}

const char* TransferText(app::PortBoard& board) {
  return board.ChipIsSecond.load() != 0 ? "P2 File is being transferred..."
                                        : "P1 File is being transferred...";
}

// A failed open is tried again on the worker's next pass; this keeps the tries to four a second,
// and on slot 0 gives up after a while so that the automatic page can fall back to the kernel.
void HandleFailedOpen(DownloadServices& services, int slot) {
  app::PortBoard& board = services.board;
  Show(board, slot, kRed, "Open Com Port Failed!");
  RequestRestoreControls(services);
  const uint32_t now = board.Clock().Ticks();
  if (board.OpenRetrying[slot].exchange(1) == 0) board.OpenRetrySince[slot].store(now);
  board.Clock().Sleep(kOpenRetryPauseMs);
  if (slot == 0 && platform::Elapsed(board.Clock().Ticks(), board.OpenRetrySince[slot].load(),
                                     kOpenRetryLimitMs)) {
    board.OpenRetrying[slot].store(0);
    board.JobFwAp[slot].store(0);
    board.VersionSeen[slot].store(0);
    board.OverallSuccess.store(0);
  }
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

void SendFwApCommand(app::PortBoard& board, int slot) {
  protocol::SendProprietarySentence(board, slot, protocol::kFwApBody);
}

void UpdateFirmware(DownloadServices& services, const std::string& port_name, int slot) {
  app::PortBoard& board = services.board;
  // The module's NMEA speed as the run captured it: the shared baud text may meanwhile hold the
  // kernel speed that another slot's procedure has written.
  const std::string nmea_baud = board.RunBaudText[slot].Get();
  board.SavedBaudText.Set(nmea_baud);

  if (!serial::OpenPort(board, port_name, nmea_baud, slot)) {
    HandleFailedOpen(services, slot);
    return;
  }
  board.OpenRetrying[slot].store(0);
  board.StatusColor[slot].store(kNavy);
  SendFwApCommand(board, slot);
  board.StatusText[slot].Set("Send FW(AP) command.....");

  board.Clock().Sleep(1000);
  serial::CloseIfOpen(board, slot);
  board.Clock().Sleep(500);

  board.CurrentBaudText.Set(kKernelBaud);
  if (!serial::OpenPort(board, port_name, kKernelBaud, slot)) {
    HandleFailedOpen(services, slot);
    return;
  }
  board.OpenRetrying[slot].store(0);

  board.StatusText[slot].Set("Flash is being erased...");
  // The module erases its flash before it answers; the wait limit must cover the erase.
  if (!WaitForNak(board, slot)) {
    Show(board, slot, kRed, "Waiting ACK failed...");
    RequestRestoreControls(services);
    board.OverallSuccess.store(0);
    board.JobFwAp[slot].store(0);
    board.VersionSeen[slot].store(0);
    return;
  }

  board.StatusText[slot].Set(TransferText(board));
  if (!SendXmodem1K(board, slot)) {
    Show(board, slot, kRed, "Xmodem_1K Download Failed!");
    RequestRestoreControls(services);
    board.OverallSuccess.store(0);
    board.JobFwAp[slot].store(0);
    board.VersionSeen[slot].store(0);
    return;
  }

  board.Clock().Sleep(500);
  if (board.JobFsa[slot].load() != 0) Show(board, slot, kGreen, " FSA update OK!(OK)");
  if (board.JobFwAp[slot].load() != 0) Show(board, slot, kGreen, " FW(AP) update OK!(OK)");
  if (board.JobAllImageWithCode[slot].load() != 0) {
    Show(board, slot, kGreen, " All Image update OK!(OK)");
  }
  board.CurrentBaudText.Set(nmea_baud);
  RequestRestoreControls(services);
  RequestEnableOk(services);
  board.JobFwAp[slot].store(0);
  board.OverallSuccess.store(1);
  TerminateSlotZeroWorker(board);
}

void ReUpdate(DownloadServices& services, const std::string& port_name, int slot) {
  app::PortBoard& board = services.board;
  board.CurrentBaudText.Set(kKernelBaud);
  board.AttemptCount.fetch_add(1);
  if (!serial::OpenPort(board, port_name, kKernelBaud, slot)) {
    Show(board, slot, kRed, "Open Com Port Failed!");
    return;
  }
  board.Clock().Sleep(250);
  Show(board, slot, kNavy, "Into Kernel mode.....");
  const uint32_t start = board.Clock().Ticks();
  board.StartTick[slot].store(start);
  SendKernelEntry(board, slot);

  board.WaitTimeoutMs.store(10000);
  // The entry sequence's 700 ms count against the limit.
  if (!WaitForByte(board, slot, kNak, start, 10000)) {
    Show(board, slot, kRed, "Waiting NAK Fail!");
    board.OverallSuccess.store(0);
    board.JobFwAp[slot].store(0);
    board.VersionSeen[slot].store(0);
    return;
  }

  Show(board, slot, kNavy, TransferText(board));
  board.WaitTimeoutMs.store(5000);
  if (!SendXmodem1K(board, slot)) {
    Show(board, slot, kRed, "Xmodem_1K Download Failed!");
    board.OverallSuccess.store(0);
    board.JobFwAp[slot].store(0);
    board.VersionSeen[slot].store(0);
    return;
  }
  board.Clock().Sleep(500);
  Show(board, slot, kGreen, " FW Re-update OK!(OK)");
  board.JobReUpdate[slot].store(0);
  board.JobFwAp[slot].store(0);
  board.OverallSuccess.store(1);
  TerminateSlotZeroWorker(board);
  RequestEnableOk(services);
}

bool AllImageDownload(DownloadServices& services, const std::string& port_name, int slot) {
  app::PortBoard& board = services.board;
  board.StatusColor[slot].store(kNavy);
  if (board.XtalAfterDownload.load() == 0) {
    serial::CloseIfOpen(board, slot);
    board.CurrentBaudText.Set(kKernelBaud);
    if (!serial::OpenPort(board, port_name, kKernelBaud, slot)) {
      Show(board, slot, kRed, "Open Com Port Failed!");
      RequestRestoreControls(services);
      return false;
    }
    board.Clock().Sleep(500);
  }

  board.StatusText[slot].Set("Downloading.....");
  SendKernelEntry(board, slot);
  if (!WaitForNak(board, slot)) {
    Show(board, slot, kRed, "Download Failed!");
    RequestRestoreControls(services);
    return false;
  }
  if (!SendXmodem(board, slot, services.bbchip_checked.load())) {
    Show(board, slot, kRed, " Xmodem Download Failed!");
    RequestRestoreControls(services);
    return false;
  }
  // The loader, now running, asks for the image; without its NAK the image goes after the wait.
  WaitForNak(board, slot);
  if (!SendXmodem1K(board, slot)) {
    Show(board, slot, kRed, "Xmodem_1K Download Failed!");
    RequestRestoreControls(services);
    return false;
  }
  board.Clock().Sleep(800);
  Show(board, slot, kGreen, "All Image Download OK!");
  RequestRestoreControls(services, board.XtalAfterDownload.load() != 0);
  return true;
}

}  // namespace flashpost::download
