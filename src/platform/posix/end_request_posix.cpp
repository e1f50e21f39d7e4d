#include <signal.h>

#include <atomic>

#include "platform/end_request.h"

namespace flashpost::platform {

namespace {

// The program's only global, and it has to be one: a signal handler reaches nothing else, and of
// the program's data it may touch only a lock-free atomic. The main thread polls it.
std::atomic<int> first_request{0};
static_assert(std::atomic<int>::is_always_lock_free, "stored from a signal handler");

void RecordRequest(int signal_number) {
  int none = 0;
  if (first_request.compare_exchange_strong(none, signal_number)) return;
  // A second request: the signal's own action ends the program.
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

void CatchEndRequests() {
  struct sigaction action {};
  action.sa_handler = RecordRequest;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

int EndRequest() { return first_request.load(); }

void KeepEndRequestsOffThisThread() {
  sigset_t requests;
  sigemptyset(&requests);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&requests, signal_number);
  pthread_sigmask(SIG_BLOCK, &requests, nullptr);
}

}  // namespace flashpost::platform
