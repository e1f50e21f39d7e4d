#include "sim/pty_pump.h"

#include <algorithm>
#include <chrono>

namespace flashpost::sim {

namespace {

using std::chrono::nanoseconds;

// Bounds of one real wait on the line: the longest keeps Stop prompt, the shortest keeps a
// clock that hardly moves in real time (a manual clock) from turning the pump into a spin.
constexpr nanoseconds kLongestWait = std::chrono::milliseconds(10);
constexpr nanoseconds kShortestWait = std::chrono::microseconds(100);

constexpr size_t kChunkMax = 4096;

// With the line paced, what a UART's buffers hold: the program's writes block (the pump stops
// reading the pty) and the device's output is lost while this much is still on the way.
constexpr size_t kPacedBacklog = 4096;

}  // namespace

PtyPump::PtyPump(Device& device, platform::Clock& clock, bool pace_line_rate)
    : device_(device), clock_(clock), pace_(pace_line_rate) {}

PtyPump::~PtyPump() { Stop(); }

void PtyPump::Start() {
  if (!ok() || thread_.joinable()) return;
  stop_.store(false);
  thread_ = std::thread([this] { Run(); });
}

void PtyPump::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  thread_.join();
}

std::vector<ReceivedChunk> PtyPump::Received() const {
  std::lock_guard lock(mutex_);
  return {received_.begin(), received_.end()};
}

std::string PtyPump::ReceivedText() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const ReceivedChunk& c : received_) {
    if (c.understood) text.append(c.bytes.begin(), c.bytes.end());
  }
  return text;
}

uint64_t PtyPump::DroppedChunks() const {
  std::lock_guard lock(mutex_);
  return dropped_chunks_;
}

LineState PtyPump::ReadLine() const {
  platform::LineSettings s = pty_.ProgramSideSettings();
  return {s.baud, s.data_bits == 8 && s.parity == 'N' && s.stop_bits == 1};
}

void PtyPump::Deliver(uint32_t tick, const LineState& line, std::vector<uint8_t> bytes,
                      uint64_t write) {
  // Judged before the device takes the bytes in, since they may change its speed.
  const bool understood = device_.Understands(line);
  device_.Receive(tick, line, bytes.data(), bytes.size());

  kept_bytes_ += bytes.size();
  if (!received_.empty() && last_logged_write_ == write &&
      received_.back().understood == understood) {
    // The rest of a write the line delay handed over in parts.
    ReceivedChunk& last = received_.back();
    last.size += bytes.size();
    last.bytes.insert(last.bytes.end(), bytes.begin(), bytes.end());
  } else {
    const size_t size = bytes.size();
    received_.push_back({tick, line.baud, understood, size, std::move(bytes)});
    last_logged_write_ = write;
  }

  if (received_.size() > kKeptChunks) {
    kept_bytes_ -= received_.front().bytes.size();
    received_.pop_front();
    ++dropped_chunks_;
    if (first_with_bytes_ > 0) --first_with_bytes_;
  }
  while (kept_bytes_ > kKeptBytes && first_with_bytes_ + 1 < received_.size()) {
    std::vector<uint8_t>& old = received_[first_with_bytes_++].bytes;
    kept_bytes_ -= old.size();
    std::vector<uint8_t>().swap(old);
  }
}

void PtyPump::Run() {
  while (!stop_.load()) {
    std::vector<uint8_t> out;
    uint32_t idle_ms;
    bool in_full = false;
    {
      LineState line = ReadLine();
      std::lock_guard lock(mutex_);
      uint32_t now = clock_.Ticks();
      if (pace_) {
        for (LineDelay::Piece& piece : from_program_.Take(now)) {
          Deliver(piece.tick, piece.line, std::move(piece.bytes), piece.write);
        }
      }
      out = device_.Transmit(now, line);
      idle_ms = device_.IdleFor(now);
      if (pace_) {
        if (to_program_.Queued() < kPacedBacklog)
          to_program_.Push(now, line, out.data(), out.size());
        out.clear();
        for (const LineDelay::Piece& piece : to_program_.Take(now)) {
          out.insert(out.end(), piece.bytes.begin(), piece.bytes.end());
        }
        idle_ms = std::min({idle_ms, from_program_.NextIn(now), to_program_.NextIn(now)});
        in_full = from_program_.Queued() >= kPacedBacklog;
      }
    }
    // What the program side has no room for is lost, as on a real line nobody reads.
    if (!out.empty()) pty_.SendNow(out.data(), out.size());

    nanoseconds wait = out.empty() ? clock_.RealDuration(idle_ms) : nanoseconds::zero();
    wait = std::clamp(wait, kShortestWait, kLongestWait);
    if (in_full) {
      std::this_thread::sleep_for(wait);
      continue;
    }
    std::vector<uint8_t> in = pty_.ReceiveNow(wait, kChunkMax);
    if (in.empty()) continue;

    LineState line = ReadLine();
    std::lock_guard lock(mutex_);
    uint32_t now = clock_.Ticks();
    ++writes_;
    if (pace_) {
      from_program_.Push(now, line, in.data(), in.size());
    } else {
      Deliver(now, line, std::move(in), writes_);
    }
  }
}

}  // namespace flashpost::sim
