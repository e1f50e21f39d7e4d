#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "download/xmodem.h"
#include "platform/pty.h"

namespace flashpost::download {

using Bytes = std::vector<uint8_t>;

// A receiver on the far end of a pty: reads whole packets and answers each as told.
class Receiver {
 public:
  using Answer = std::function<Bytes(int)>;
  using Hook = std::function<void(int)>;
  // answer: what packet n (from 1) gets, ACK by default; before_answer runs just before it.
  Receiver(platform::PseudoTerminal& pty, size_t block, Answer answer = {}, Hook before_answer = {})
      : answer_(answer ? std::move(answer) : [](int) { return Bytes{kAck}; }),
        before_answer_(before_answer ? std::move(before_answer) : [](int) {}),
        pty_(pty),
        block_(block),
        thread_([this] { Run(); }) {}
  ~Receiver() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<int> packets{0};
  std::atomic<bool> saw_eot{false};
  Bytes data;  // guarded by joining

 private:
  void Run() {
    Bytes pending;
    const size_t packet = 3 + block_ + 1;
    while (!stop_) {
      if (!pending.empty() && pending[0] == kEot) {
        saw_eot = true;
        pending.erase(pending.begin());
      }
      // Asking for just what completes the packet returns as soon as it is there.
      auto got = pty_.Receive(20, pending.size() < packet ? packet - pending.size() : 1);
      pending.insert(pending.end(), got.begin(), got.end());
      if (pending.size() < packet || pending[0] == kEot) continue;
      data.insert(data.end(), pending.begin() + 3, pending.begin() + 3 + block_);
      pending.erase(pending.begin(), pending.begin() + packet);
      int n = ++packets;
      before_answer_(n);
      pty_.Send(answer_(n));
    }
  }
  const Answer answer_;
  const Hook before_answer_;
  platform::PseudoTerminal& pty_;
  size_t block_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace flashpost::download
