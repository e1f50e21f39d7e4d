#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "board/port_board.h"
#include "serial/slot_job.h"
#include "ui/main_loop.h"
#include "ui/stop_signal.h"

namespace flashpost::download {

// What the update procedures need beyond the board: the requests they make of the main thread
// (they never touch a control themselves) and the check boxes they read.
struct DownloadServices {
  app::PortBoard& board;
  ui::MainLoop& loop;
  // Gives the multi-port controls back (eraser Start, multi-port Start, option and port groups,
  // the waiting-time field); keep_start_disabled leaves the multi-port Start off. Run on the
  // main thread.
  std::function<void(bool keep_start_disabled)> restore_controls;
  // Enables the automatic page's OK. Run on the main thread.
  std::function<void()> enable_ok;
  // Mirrors of the option group's check boxes, written by their click handlers.
  std::atomic<bool> bbchip_checked{false};
};

// Asks the main thread to give the multi-port controls back.
void RequestRestoreControls(DownloadServices& services, bool keep_start_disabled = false);
void RequestEnableOk(DownloadServices& services);

// Writes the command that puts a running module into its update mode, unless the slot has been
// stopped.
void SendFwApCommand(const serial::SlotJob& job);

// The procedures below run on the slot's worker. Each reports through the slot's status line
// and progress; once `stop` is requested every wait ends at once and the procedure returns
// without touching the slot's status or port again. True when the module took its firmware (the
// worker's job is then done).

// The update of a running module by command: the command at the module's NMEA speed, then the
// image by XMODEM-1K at 115200 once the module has erased its flash.
bool UpdateFirmware(DownloadServices& services, const std::string& port_name, int slot,
                    const ui::StopSignal& stop);

// The fall-back of the automatic page: the boot kernel entered directly at 115200, then the image.
bool ReUpdate(DownloadServices& services, const std::string& port_name, int slot,
              const ui::StopSignal& stop);

// The multi-port "All Image(No code)" job: kernel entry, the boot loader in 128-byte blocks, then
// the image in 1024-byte blocks.
bool AllImageDownload(DownloadServices& services, const std::string& port_name, int slot,
                      const ui::StopSignal& stop);

// How long a failed open inside UpdateFirmware waits before its next try, and how long slot 0
// keeps trying before the commanded update counts as failed.
inline constexpr uint32_t kOpenRetryPauseMs = 250;
inline constexpr uint32_t kOpenRetryLimitMs = 10000;

}  // namespace flashpost::download
