#pragma once

namespace flashpost::platform {

// Requests to end the program from outside it: SIGINT (Ctrl-C), SIGTERM and SIGHUP on POSIX;
// Ctrl-C, Ctrl-Break and the console's close, log-off and shut-down events on Windows. Caught,
// they end a run the orderly way (every port closed) instead of killing the program with its
// ports left open and raw.

// From now on a request is recorded instead of ending the program; a second one ends it at
// once, for a close that does not come back. Called once, on the main thread, before the run.
void CatchEndRequests();

// The signal number of the first request caught (SIGINT 2, SIGTERM 15, SIGHUP 1; Ctrl-C and
// Ctrl-Break count as SIGINT, the console's close as SIGHUP, log-off and shut-down as SIGTERM),
// 0 while none came. A program ended by one exits with 128 + this number, as a shell reports a
// program that a signal ended.
int EndRequest();

// Called first thing on every worker thread: a request then always reaches the main thread, the
// one that watches for it, and never a worker that is about to end.
void KeepEndRequestsOffThisThread();

}  // namespace flashpost::platform
