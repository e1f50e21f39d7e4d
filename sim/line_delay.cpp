#include "sim/line_delay.h"

#include <algorithm>

namespace flashpost::sim {

namespace {

constexpr uint64_t kNsPerMs = 1'000'000;
constexpr uint64_t kBitsPerByte = 10;
constexpr uint64_t kNsPerS = 1'000'000'000;

}  // namespace

uint64_t LineDelay::SinceOrigin(uint32_t tick) const {
  return static_cast<uint64_t>(static_cast<uint32_t>(tick - origin_)) * kNsPerMs;
}

uint64_t LineDelay::Duration(uint32_t baud, size_t bytes) {
  if (baud == 0) return 0;
  return static_cast<uint64_t>(bytes) * kBitsPerByte * kNsPerS / baud;
}

size_t LineDelay::Through(const Write& w, uint64_t now_ns) {
  if (w.line.baud == 0) return w.bytes.size();
  if (now_ns < w.start_ns) return 0;
  const uint64_t elapsed = now_ns - w.start_ns;
  if (elapsed >= Duration(w.line.baud, w.bytes.size())) return w.bytes.size();
  return static_cast<size_t>(elapsed * w.line.baud / (kBitsPerByte * kNsPerS));
}

void LineDelay::Push(uint32_t tick, const LineState& line, const uint8_t* data, size_t n) {
  if (n == 0) return;
  // With nothing on the way, times start again from here, so they never run far from it.
  if (writes_.empty()) origin_ = tick;
  uint64_t start = SinceOrigin(tick);
  if (!writes_.empty()) {
    const Write& last = writes_.back();
    start = std::max(start, last.start_ns + Duration(last.line.baud, last.bytes.size()));
  }
  writes_.push_back({start, line, ++writes_made_, std::vector<uint8_t>(data, data + n)});
  queued_ += n;
}

std::vector<LineDelay::Piece> LineDelay::Take(uint32_t tick) {
  std::vector<Piece> pieces;
  const uint64_t now = SinceOrigin(tick);
  while (!writes_.empty()) {
    Write& w = writes_.front();
    const size_t through = Through(w, now);
    if (through > w.taken) {
      const uint64_t through_ms =
          (w.start_ns + Duration(w.line.baud, through) + kNsPerMs - 1) / kNsPerMs;
      const uint32_t at = origin_ + static_cast<uint32_t>(std::min(through_ms, now / kNsPerMs));
      pieces.push_back({w.line, w.id, at,
                        std::vector<uint8_t>(w.bytes.begin() + static_cast<ptrdiff_t>(w.taken),
                                             w.bytes.begin() + static_cast<ptrdiff_t>(through))});
      queued_ -= through - w.taken;
      w.taken = through;
    }
    if (w.taken < w.bytes.size()) break;
    writes_.pop_front();
  }
  return pieces;
}

uint32_t LineDelay::NextIn(uint32_t tick) const {
  if (writes_.empty()) return Device::kMaxIdleMs;
  const Write& w = writes_.front();
  if (w.line.baud == 0) return 0;
  const uint64_t now = SinceOrigin(tick);
  // Rounded up, so that the byte is really through once the time has come.
  const uint64_t bits_ns = (w.taken + 1) * kBitsPerByte * kNsPerS;
  const uint64_t due = w.start_ns + (bits_ns + w.line.baud - 1) / w.line.baud;
  if (due <= now) return 0;
  const uint64_t ms = (due - now + kNsPerMs - 1) / kNsPerMs;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, Device::kMaxIdleMs));
}

}  // namespace flashpost::sim
