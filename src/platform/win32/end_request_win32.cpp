#include <windows.h>

#include <atomic>

#include "platform/end_request.h"

namespace flashpost::platform {

namespace {

// The signal numbers the requests stand for; Windows defines no SIGHUP.
constexpr int kHangUp = 1;
constexpr int kInterrupt = 2;
constexpr int kTerminate = 15;

// The program's only global, and it has to be one: the system calls the handler on a thread of
// its own with nothing of ours in reach. The main thread polls it.
std::atomic<int> first_request{0};

BOOL WINAPI RecordRequest(DWORD event) {
  int signal_number = kTerminate;
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) signal_number = kInterrupt;
  if (event == CTRL_CLOSE_EVENT) signal_number = kHangUp;
  int none = 0;
  if (!first_request.compare_exchange_strong(none, signal_number)) {
    return FALSE;  // a second request: the system's own handler ends the program
  }
  if (signal_number == kInterrupt) return TRUE;
  // For the other events the system ends the process as soon as the handler returns (and after
  // a few seconds in any case): wait here while the main thread closes the ports and exits.
  while (true) Sleep(1000);
}

}  // namespace

void CatchEndRequests() { SetConsoleCtrlHandler(RecordRequest, TRUE); }

int EndRequest() { return first_request.load(); }

// Windows runs console control handlers on a thread of their own; no thread receives them.
void KeepEndRequestsOffThisThread() {}

}  // namespace flashpost::platform
