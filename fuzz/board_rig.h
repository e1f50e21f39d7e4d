// A port board with a fake port open on every slot, built once per fuzzer process and put back to
// its fresh state after every input, so that an input costs what its own bytes cost rather than a
// board, ten ports and their logs.
//
// How the put-back is kept honest: an image holds every value of a slot, and of the board
// outside the slots, that can be read back (numbers, texts, whether a port, a worker or a
// transfer is there, the reference receiver's store, the clock). The rig keeps the images of
// its fresh board. Finish() restores the slots an input worked on and the board outside the
// slots from those images, then requires every slot and the rest of the board to match them
// again. A value the restore missed stops the fuzzer on the very input that changed it (which
// then fails alone, too), so no input runs on what an earlier one left behind.
//
// Texts are only compared once written: the rig listens to every text of the board, and a text
// changes only through a write, which its listener hears.

#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "board/port_board.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"

namespace flashpost::fuzz {

inline void Require(bool ok, const char* who, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s: %s\n", who, what);
    std::abort();
  }
}

// Calls number(atomic) for every per-slot number of the board and text(shared text) for every
// per-slot text, always in the same order.
template <class Number, class Text>
void VisitSlot(app::PortBoard& b, int slot, Number&& number, Text&& text) {
  number(b.PortHandle[slot]);
  for (auto* table : {&b.ReadEnabled,   &b.ProtocolMode,        &b.ProgressPercent,
                      &b.VersionSeen,   &b.JobAllImageNoCode,   &b.JobFsa,
                      &b.JobFwAp,       &b.JobReUpdate,         &b.JobAllImageWithCode,
                      &b.JobXtalCal,    &b.JobCnoTest,          &b.JobCustomerId,
                      &b.FixType,       &b.CustomerIdReplySeen, &b.Reply200Seen,
                      &b.GsvComplete,   &b.SentencesSeen,       &b.OpenRetrying,
                      &b.EphemerisMode, &b.EphemerisSentCount}) {
    number((*table)[slot]);
  }
  for (auto* table : {&b.StatusColor, &b.TestStatusColor, &b.StartTick, &b.OpenRetrySince}) {
    number((*table)[slot]);
  }
  for (auto& entry : b.SatPrn[slot]) number(entry);
  for (auto& entry : b.SatSnr[slot]) number(entry);
  number(b.PendingResend[slot].Armed);
  number(b.PendingResend[slot].MessageId);
  number(b.PendingResend[slot].SentTick);
  for (auto* texts : {&b.StatusText, &b.OpenFailureText, &b.TestStatusText, &b.VersionField3,
                      &b.VersionField4, &b.ReportedVersion, &b.OpenPortName, &b.RunBaudText}) {
    text((*texts)[slot]);
  }
  if (app::IsModuleSlot(slot)) text(b.CustomerIdReply[slot]);
}

// The same for the board outside the slots (the reference store and the references to threads
// aside).
template <class Number, class Text>
void VisitShared(app::PortBoard& b, Number&& number, Text&& text) {
  number(b.NextPortHandle);
  for (auto* value : {&b.ChipIsSecond, &b.OverallSuccess, &b.AttemptCount, &b.WaitTimeoutMs,
                      &b.XtalAfterDownload, &b.SelectedPortCount, &b.PortsFound,
                      &b.ReferenceRequestSent, &b.OutputProtocolIndex, &b.OptionWord}) {
    number(*value);
  }
  number(b.MessageColor);
  number(b.TestMessageColor);
  number(b.BaudIndexDigit);
  for (auto* value : {&b.CurrentPortName, &b.CurrentBaudText, &b.MessageText, &b.TestMessageText,
                      &b.SavedBaudText, &b.TerminalBaudText}) {
    text(*value);
  }
  for (auto& value : b.SelectedPorts) text(value);
}

// Equality of two byte ranges, a word at a time and without the sanitizer's memcmp interceptor:
// its checks of both ranges, and the fuzzer's note of every comparison it sees, cost more than the
// comparison, and the harness's comparisons are no guide for the mutations. The callers pass two
// whole objects of one type, read within their size, so a sanitizer check of every word could
// find nothing; left out, the loop compares the reference store after every frame in a fraction
// of the time.
__attribute__((no_sanitize("address", "undefined"))) inline bool SameBytes(const uint8_t* a,
                                                                           const uint8_t* b,
                                                                           size_t n) {
  uint64_t diff = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x;
    uint64_t y;
    __builtin_memcpy(&x, a + i, 8);
    __builtin_memcpy(&y, b + i, 8);
    diff |= x ^ y;
  }
  for (; i < n; ++i) diff |= a[i] ^ b[i];
  return diff == 0;
}

// The same for two objects whose bytes are their value (arrays of bytes, arrays of them).
template <class T>
bool SameBytes(const T& a, const T& b) {
  static_assert(std::has_unique_object_representations_v<T>);
  return SameBytes(reinterpret_cast<const uint8_t*>(&a), reinterpret_cast<const uint8_t*>(&b),
                   sizeof(T));
}

// The values a visit met, each with the place it was read from, so that comparing and restoring
// them is one pass over flat lists rather than a visit of the board each time.
class Image {
 public:
  template <class Visit>
  static Image Capture(Visit visit) {
    Image image;
    visit(
        [&](auto& atomic) {
          using T = typename std::remove_reference_t<decltype(atomic)>::value_type;
          std::get<Numbers<T>>(image.numbers_).push_back({&atomic, atomic.load()});
        },
        [&](app::SharedText& text) {
          image.texts_.push_back({&text, text.Get()});
        });
    return image;
  }

  // True when the board holds what the image holds, reading the numbers and the written texts
  // (bit t of `written`: text t) in place.
  bool Matches(uint32_t written) const {
    bool same = true;
    std::apply([&](const auto&... numbers) { (SameNumbers(numbers, same), ...); }, numbers_);
    for (size_t t = 0; t < texts_.size(); ++t) {
      if (written & (1u << t)) same &= *texts_[t].first == texts_[t].second;
    }
    return same;
  }

  void Restore(uint32_t written) const {
    std::apply([](const auto&... numbers) { (RestoreNumbers(numbers), ...); }, numbers_);
    for (size_t t = 0; t < texts_.size(); ++t) {
      auto& [text, value] = texts_[t];
      if ((written & (1u << t)) && !(*text == value)) text->Set(value);
    }
  }

 private:
  template <class T>
  using Numbers = std::vector<std::pair<std::atomic<T>*, T>>;

  template <class T>
  static void SameNumbers(const Numbers<T>& numbers, bool& same) {
    for (const auto& [atomic, value] : numbers) same &= atomic->load() == value;
  }
  // Stores only what differs: a load costs far less than a locked store.
  template <class T>
  static void RestoreNumbers(const Numbers<T>& numbers) {
    for (const auto& [atomic, value] : numbers) {
      if (atomic->load() != value) atomic->store(value);
    }
  }

  std::tuple<Numbers<int64_t>, Numbers<int32_t>, Numbers<uint32_t>, Numbers<char>> numbers_;
  std::vector<std::pair<app::SharedText*, std::string>> texts_;
};

// Ports named port0..port9, one per slot, all opened at the given speed. Set up the board
// further, then call Freeze() once: what the board holds then is what every input starts from.
class BoardRig {
 public:
  BoardRig(const char* who, std::string baud) : who_(who), baud_(std::move(baud)) {
    for (int k = 0; k < app::kSlotCount; ++k) names_.push_back("port" + std::to_string(k));
    serial_ = std::make_unique<testing::FakeSerialSystem>(names_);
    board_ = std::make_unique<app::PortBoard>(clock_, *serial_);
    for (int k = 0; k < app::kSlotCount; ++k) {
      Require(serial::OpenPort(*board_, names_[k], baud_, k) == 1, who_, "fake port refused");
      logs_[k] = serial_->Log(names_[k]);
    }
  }
  BoardRig(const BoardRig&) = delete;
  BoardRig& operator=(const BoardRig&) = delete;

  app::PortBoard& Board() const { return *board_; }
  // What was written to the slot's port since the input began.
  testing::FakePortLog& Log(int slot) const { return *logs_[slot]; }
  // How many times a text of the slot has been written since Freeze(). A text changes only when
  // it is written, so a slot whose count stayed put has every text it had.
  uint64_t TextWrites(int slot) const { return text_writes_[slot]; }

  void Freeze() {
    auto& b = *board_;
    for (int k = 0; k < app::kSlotCount; ++k) {
      fresh_slots_[k] = CaptureSlot(k);
      Listen(k, [&](auto&& number, auto&& text) { VisitSlot(b, k, number, text); });
    }
    fresh_shared_ = CaptureShared();
    Listen(app::kSlotCount, [&](auto&& number, auto&& text) { VisitShared(b, number, text); });
  }

  // Ends an input that may have changed the given slots: puts them and the board outside the
  // slots back, empties the port logs, and stops the fuzzer if anything still differs.
  void Finish(std::initializer_list<int> worked_on) {
    for (int slot : worked_on) RestoreSlot(slot);
    RestoreShared();
    for (auto& log : logs_) {
      std::lock_guard lock(log->mutex);
      log->writes.clear();
    }
    for (int k = 0; k < app::kSlotCount; ++k) {
      if (SlotMatches(k)) continue;
      const bool worked = std::find(worked_on.begin(), worked_on.end(), k) != worked_on.end();
      std::fprintf(stderr, "%s: slot %d %s\n", who_, k,
                   worked ? "is not back to the fresh board's after the input"
                          : "changed, though no handler of the input works on it");
      std::abort();
    }
    Require(SharedMatches(), who_, "the board outside the slots is not back to the fresh board's");
    written_.fill(0);
  }

 private:
  struct SlotImage {
    Image values;
    bool port_open = false;
    bool worker = false;
    size_t transfers = 0;
  };

  struct SharedImage {
    Image values;
    app::ReferenceData::Ephemerides ephemerides;
    app::ReferenceData::Aiding aiding;
    bool terminal_reader = false;
    uint32_t ticks = 0;
  };

  // Sets bit t of written_[scope] whenever text t of the visit is written, and counts the write.
  void Listen(size_t scope, auto visit) {
    uint32_t bit = 1;
    visit([](const auto&) {},
          [&](app::SharedText& text) {
            Require(bit != 0, who_, "more than 32 texts in a slot, or outside the slots");
            text.SetListener([this, scope, bit](const std::string&) {
              written_[scope] |= bit;
              ++text_writes_[scope];
            });
            bit <<= 1;
          });
  }

  SlotImage CaptureSlot(int slot) {
    auto& b = *board_;
    SlotImage image;
    image.values =
        Image::Capture([&](auto&& number, auto&& text) { VisitSlot(b, slot, number, text); });
    auto port = b.Port[slot].Get();
    image.port_open = port && port->IsOpen();
    image.worker = app::IsModuleSlot(slot) && b.Worker[slot].Get() != nullptr;
    image.transfers = b.Transfers[slot].Get()->size();
    return image;
  }

  SharedImage CaptureShared() {
    auto& b = *board_;
    SharedImage image;
    image.values =
        Image::Capture([&](auto&& number, auto&& text) { VisitShared(b, number, text); });
    image.ephemerides = b.Reference.ReadEphemerides([](const auto& e) { return e; });
    b.Reference.ReadAiding([&](const auto& a) { image.aiding = a; });
    image.terminal_reader = b.TerminalReader.Get() != nullptr;
    image.ticks = clock_.Ticks();
    return image;
  }

  bool SlotMatches(int slot) {
    auto& b = *board_;
    const SlotImage& fresh = fresh_slots_[slot];
    auto port = b.Port[slot].Get();
    return (port && port->IsOpen()) == fresh.port_open &&
           (app::IsModuleSlot(slot) && b.Worker[slot].Get() != nullptr) == fresh.worker &&
           b.Transfers[slot].Get()->size() == fresh.transfers &&
           fresh.values.Matches(written_[slot]);
  }

  bool SharedMatches() {
    auto& b = *board_;
    const auto& e0 = fresh_shared_.ephemerides;
    const auto& a0 = fresh_shared_.aiding;
    bool same = b.Reference.ReadEphemerides([&](const auto& e) {
      return SameBytes(e.EphemerisHeader, e0.EphemerisHeader) &&
             SameBytes(e.EphemerisTable, e0.EphemerisTable);
    });
    b.Reference.ReadAiding([&](const auto& a) {
      same &=
          SameBytes(a.AidingTime, a0.AidingTime) && SameBytes(a.AidingPosition, a0.AidingPosition);
    });
    return same && (b.TerminalReader.Get() != nullptr) == fresh_shared_.terminal_reader &&
           clock_.Ticks() == fresh_shared_.ticks &&
           fresh_shared_.values.Matches(written_[app::kSlotCount]);
  }

  void RestoreSlot(int slot) {
    if (!app::IsSlot(slot)) return;
    auto& b = *board_;
    const SlotImage& fresh = fresh_slots_[slot];
    auto port = b.Port[slot].Get();
    if (fresh.port_open && !(port && port->IsOpen())) {
      // Reopened the way the set-up opened it; what the open writes is put back below.
      Require(serial::OpenPort(b, names_[slot], baud_, slot) == 1, who_, "fake port refused");
    }
    fresh.values.Restore(written_[slot]);
  }

  void RestoreShared() {
    auto& b = *board_;
    fresh_shared_.values.Restore(written_[app::kSlotCount]);
    b.Reference.WithEphemerides([&](auto& e) { e = fresh_shared_.ephemerides; });
    Require(b.Reference.TryWriteAiding([&](auto& a) { a = fresh_shared_.aiding; }), who_,
            "aiding store busy");
  }

  const char* who_;
  std::string baud_;
  std::vector<std::string> names_;
  platform::ManualClock clock_;
  std::unique_ptr<testing::FakeSerialSystem> serial_;
  std::unique_ptr<app::PortBoard> board_;
  std::array<std::shared_ptr<testing::FakePortLog>, app::kSlotCount> logs_;
  std::array<SlotImage, app::kSlotCount> fresh_slots_;
  SharedImage fresh_shared_;
  // Per slot, then the board outside the slots: the texts written since the input began.
  std::array<uint32_t, app::kSlotCount + 1> written_{};
  std::array<uint64_t, app::kSlotCount + 1> text_writes_{};
};

}  // namespace flashpost::fuzz
