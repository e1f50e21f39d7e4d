#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace flashpost::app {

// What the reference receiver on the terminal port has told us, kept for the modules under test:
// its ephemerides, and the date, time and position of its latest navigation report. One copy for
// the whole run, zero-filled at start; ephemeris records are only ever overwritten.
//
// The terminal reader writes it while slot workers build aiding messages from it, so every access
// goes through one of the calls below, which hold the matching guard for the duration of the
// callback. Callbacks copy bytes and return; they never write to a port or wait.
class ReferenceData {
 public:
  static constexpr size_t kHeaderSize = 8;
  static constexpr size_t kRecordSize = 109;
  static constexpr int kRecordCount = 32;  // record k belongs to satellite number k + 1
  static constexpr size_t kTimeSize = 6;
  static constexpr size_t kPositionSize = 24;

  using Record = std::array<uint8_t, kRecordSize>;

  struct Ephemerides {
    // The first payload bytes of the latest ephemeris report, whatever its satellite.
    std::array<uint8_t, kHeaderSize> EphemerisHeader{};
    // A record's first byte is its satellite number; 0 marks an empty record.
    std::array<Record, kRecordCount> EphemerisTable{};
  };

  struct Aiding {
    std::array<uint8_t, kTimeSize> AidingTime{};
    std::array<uint8_t, kPositionSize> AidingPosition{};
  };

  ReferenceData() = default;
  ReferenceData(const ReferenceData&) = delete;
  ReferenceData& operator=(const ReferenceData&) = delete;

  // Readers and writers of the ephemerides wait for each other: a record is never sent half
  // overwritten, and a report is never dropped because a module was being sent one.
  template <class F>
  decltype(auto) WithEphemerides(F&& f) {
    std::lock_guard lock(ephemeris_guard_);
    return f(ephemerides_);
  }
  template <class F>
  decltype(auto) ReadEphemerides(F&& f) const {
    std::lock_guard lock(ephemeris_guard_);
    return f(ephemerides_);
  }

  // The time and position are read while a PVT aiding message is being built. A navigation report
  // that comes in meanwhile does not wait for it: its time and position are skipped, so the
  // message goes out built from one report only and the reader is never held up by a worker.
  template <class F>
  void ReadAiding(F&& f) const {
    std::lock_guard lock(aiding_guard_);
    f(aiding_);
  }
  // Runs f on the store unless a PVT message is being built from it; true when f ran.
  template <class F>
  bool TryWriteAiding(F&& f) {
    std::unique_lock lock(aiding_guard_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    f(aiding_);
    return true;
  }

 private:
  mutable std::mutex ephemeris_guard_;
  Ephemerides ephemerides_;  // under ephemeris_guard_
  mutable std::mutex aiding_guard_;
  Aiding aiding_;  // under aiding_guard_
};

// The aiding message of a slot that still waits for the module's acknowledgement. The senders
// store MessageId and SentTick before Armed, so a reader that sees Armed 1 sees the pair of that
// send.
struct PendingResendRecord {
  std::atomic<int32_t> Armed{0};
  std::atomic<int32_t> MessageId{0};
  std::atomic<uint32_t> SentTick{0};

  void Arm(int32_t message_id, uint32_t tick) {
    MessageId.store(message_id);
    SentTick.store(tick);
    Armed.store(1);
  }
  void Clear() {
    Armed.store(0);
    MessageId.store(0);
    SentTick.store(0);
  }
};

}  // namespace flashpost::app
