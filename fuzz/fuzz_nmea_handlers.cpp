// Arbitrary bytes as sentences for the module slot and terminal sentence handlers. Each must stay
// inside the sentence it is given (the sanitizers see any read beyond it) and inside the tables
// of its own slot.
//
// Input: byte 0 picks the module slot (-1..10, so slots the handler must refuse come up too);
// the rest is cut at each LF into lines. A line's first byte picks the start put before the rest
// of it (or none), whether the true checksum and a CR go behind it, and whether the one-shot
// reply flags are cleared first, so that fuzzing reaches the parsers rather than the tests
// in front of them.
//
// One board serves every input (board_rig.h puts it back after each); a line costs its handlers
// and the checks behind them.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "board/port_board.h"
#include "board_rig.h"
#include "protocol/nmea.h"

namespace {

using flashpost::app::kSlotCount;
using flashpost::app::kTerminalSlot;
using flashpost::app::PortBoard;

constexpr std::string_view kStarts[] = {
    "",         "$GPGSV,", "$GPGSA,", "$PQRV100,", "$GPGSV,3", "$PQRV28,01,",
    "$PQRV200", "$GP",     "$PQ",     "$"};

constexpr const char* kName = "fuzz_nmea_handlers";

void Require(bool ok, const char* what) { flashpost::fuzz::Require(ok, kName, what); }

// Everything the handlers may write, for one slot.
struct SlotState {
  static constexpr size_t kNumbers = 11 + 2 * PortBoard::kGsvSatellites;
  std::array<int64_t, kNumbers> numbers{};
  std::array<std::string, 4> texts;
  // The rig's count of the slot's text writes when the texts were read.
  uint64_t text_writes = 0;
};

// Calls number(value) for every number of the slot the handlers may write, in one order, and
// for how often the slot's port was opened and closed: a port is opened or closed only through the
// fake serial system, which counts it, and reading the counts takes no lock, where reading the
// board's reference to the port would take one on every call. That the reference agrees with the
// counts is checked once per input (RequirePortHeldAsCounted). The callers read the values
// straight into or against a SlotState: a copy of the whole list, or a memcmp, would cost the
// sanitizer's check of both ranges on every call.
template <class Number>
void VisitNumbers(const PortBoard& board, const flashpost::testing::FakePortLog& port, int slot,
                  Number&& number) {
  for (const auto* table :
       {&board.ReadEnabled, &board.ProtocolMode, &board.VersionSeen, &board.CustomerIdReplySeen,
        &board.Reply200Seen, &board.GsvComplete, &board.FixType}) {
    number((*table)[slot].load());
  }
  number(board.PortHandle[slot].load());
  number(board.StatusColor[slot].load());
  number(port.opens.load());
  number(port.closes.load());
  for (int e = 0; e < PortBoard::kGsvSatellites; ++e) {
    number(board.SatPrn[slot][e].load());
    number(board.SatSnr[slot][e].load());
  }
}

void ReadNumbers(const flashpost::fuzz::BoardRig& rig, int slot, SlotState& s) {
  size_t i = 0;
  VisitNumbers(rig.Board(), rig.Log(slot), slot, [&](int64_t value) { s.numbers[i++] = value; });
}

bool SameNumbers(const flashpost::fuzz::BoardRig& rig, int slot, const SlotState& s) {
  size_t i = 0;
  int64_t diff = 0;
  VisitNumbers(rig.Board(), rig.Log(slot), slot,
               [&](int64_t value) { diff |= value ^ s.numbers[i++]; });
  return diff == 0;
}

// The board refers to a port for the slot exactly while the slot's port is open: no handler drops
// the reference without closing the port, or keeps it after closing.
void RequirePortHeldAsCounted(const flashpost::fuzz::BoardRig& rig, int slot) {
  if (slot < 0) return;
  const auto& port = rig.Log(slot);
  const bool held = rig.Board().Port[slot].Get() != nullptr;
  Require(held == (port.opens.load() > port.closes.load()),
          "the board's port reference and the port's opens and closes disagree");
}

void ReadTexts(const PortBoard& board, int slot, SlotState& s) {
  s.texts[0] = board.StatusText[slot].Get();
  s.texts[1] = board.VersionField3[slot].Get();
  s.texts[2] = board.VersionField4[slot].Get();
  if (flashpost::app::IsModuleSlot(slot)) s.texts[3] = board.CustomerIdReply[slot].Get();
}

bool SameTexts(const PortBoard& board, int slot, const SlotState& s) {
  return board.StatusText[slot] == s.texts[0] && board.VersionField3[slot] == s.texts[1] &&
         board.VersionField4[slot] == s.texts[2] &&
         (!flashpost::app::IsModuleSlot(slot) || board.CustomerIdReply[slot] == s.texts[3]);
}

// The two slots the handlers work on (a module slot, the terminal slot) as last seen: after each
// call the slot its handler works on may have changed, the other one must not. Every further slot
// the rig compares with the fresh board once the input is through (BoardRig::Finish), which stops
// the run on any change to one of them as well. The texts are read again, and compared, only
// when the rig has seen one of the slot's texts written since the last look.
class BoardWatch {
 public:
  // The board must be fresh: what the watch sees now is what Restart goes back to.
  explicit BoardWatch(const flashpost::fuzz::BoardRig& rig, const PortBoard& board)
      : rig_(rig), board_(board) {
    for (int slot = 0; slot < kSlotCount; ++slot) {
      ReadNumbers(rig_, slot, fresh_[slot]);
      ReadTexts(board_, slot, fresh_[slot]);
    }
    slots_ = fresh_;
  }
  // After a call whose handler works on `allowed` (-1: none), the handled slot `other`.
  void RequireOnlyChanged(int allowed, int other) {
    if (other >= 0) Require(Unchanged(other), "another slot changed");
    Refresh(allowed);
  }
  // The slot has been put back to the fresh board's.
  void Restart(int slot) {
    if (slot < 0) return;
    slots_[slot] = fresh_[slot];
    slots_[slot].text_writes = rig_.TextWrites(slot);
  }
  // The slot as last seen.
  const SlotState& Seen(int slot) const { return slots_[slot]; }

 private:
  void Refresh(int slot) {
    if (slot < 0) return;
    SlotState& s = slots_[slot];
    ReadNumbers(rig_, slot, s);
    const uint64_t writes = rig_.TextWrites(slot);
    if (writes != s.text_writes) {
      ReadTexts(board_, slot, s);
      s.text_writes = writes;
    }
  }
  bool Unchanged(int slot) const {
    const SlotState& s = slots_[slot];
    return SameNumbers(rig_, slot, s) &&
           (rig_.TextWrites(slot) == s.text_writes || SameTexts(board_, slot, s));
  }

  const flashpost::fuzz::BoardRig& rig_;
  const PortBoard& board_;
  std::array<SlotState, kSlotCount> fresh_;
  std::array<SlotState, kSlotCount> slots_;
};

// The slot's flags and texts as the watch has just seen them.
void RequireSane(const PortBoard& board, int slot, const SlotState& seen) {
  for (const auto* flag :
       {&board.VersionSeen, &board.CustomerIdReplySeen, &board.Reply200Seen, &board.GsvComplete}) {
    int32_t value = (*flag)[slot].load();
    Require(value == 0 || value == 1, "a flag holds neither 0 nor 1");
  }
  Require(seen.texts[1].size() <= flashpost::protocol::kVersionFieldMaxLength,
          "version field 3 too long");
  Require(seen.texts[2].size() <= flashpost::protocol::kVersionFieldMaxLength,
          "version field 4 too long");
  Require(seen.texts[3].size() <= flashpost::protocol::kCustomerIdReplyMaxLength,
          "customer ID reply too long");
  int32_t fix = board.FixType[kTerminalSlot].load();
  Require(fix >= 0 && fix <= 9, "fix type is not one digit");
}

// Builds the line into `line`, whose storage is kept from line to line.
void BuildLine(std::string_view raw, std::string& line) {
  line.clear();
  if (raw.empty()) return;
  const uint8_t control = static_cast<uint8_t>(raw[0]);
  line += kStarts[control % std::size(kStarts)];
  line += raw.substr(1);
  if (control & 0x80) {
    line += '*';
    line += flashpost::protocol::NmeaChecksum(line).text;
    line += '\r';
  }
}

// Hands the handler a copy exactly as long as the line, ending where a heap block ends, so a
// read past its end is an error.
class ExactCopy {
 public:
  template <class Handle>
  void With(const std::string& line, Handle handle) {
    std::unique_ptr<char[]> own;
    char* end = block_.get() + kBlockSize;
    if (line.size() > kBlockSize) {  // longer than any line of a -max_len input
      own = std::make_unique<char[]>(line.size());
      end = own.get() + line.size();
    }
    char* copy = end - line.size();
    line.copy(copy, line.size());
    handle(std::string_view(copy, line.size()));
  }

 private:
  static constexpr size_t kBlockSize = 512;
  std::unique_ptr<char[]> block_ = std::make_unique<char[]>(kBlockSize);
};

// Built on the first input, kept for the process.
struct Harness {
  Harness() { rig.Freeze(); }
  flashpost::fuzz::BoardRig rig{kName, "4800"};
  BoardWatch watch{rig, rig.Board()};
  ExactCopy exact;
  std::string line;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int slot = data[0] % 12 - 1;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  static Harness harness;
  PortBoard& board = harness.rig.Board();
  BoardWatch& watch = harness.watch;
  const int module_slot = flashpost::app::IsModuleSlot(slot) ? slot : -1;

  while (!rest.empty()) {
    const size_t lf = rest.find('\n');
    const std::string_view raw = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);

    // Only the module slot's flags can be set: the slot handler sets no other slot's, the
    // terminal handler none, and the watch stops the run on any other change. The watch looks at
    // the module slot again after the slot handler, before anything is compared with it.
    if (module_slot >= 0 && !raw.empty() && (static_cast<uint8_t>(raw[0]) & 0x40)) {
      board.VersionSeen[module_slot].store(0);
      board.CustomerIdReplySeen[module_slot].store(0);
      board.Reply200Seen[module_slot].store(0);
    }
    std::string& line = harness.line;
    BuildLine(raw, line);

    harness.exact.With(line, [&](std::string_view sentence) {
      flashpost::protocol::HandleSlotSentence(board, sentence, slot);
    });
    watch.RequireOnlyChanged(module_slot, kTerminalSlot);
    if (module_slot >= 0) RequireSane(board, module_slot, watch.Seen(module_slot));

    harness.exact.With(line, [&](std::string_view sentence) {
      flashpost::protocol::HandleTerminalSentence(board, sentence);
    });
    watch.RequireOnlyChanged(kTerminalSlot, module_slot);
    RequireSane(board, kTerminalSlot, watch.Seen(kTerminalSlot));
  }

  RequirePortHeldAsCounted(harness.rig, module_slot);
  RequirePortHeldAsCounted(harness.rig, kTerminalSlot);
  harness.rig.Finish({module_slot, kTerminalSlot});
  watch.Restart(module_slot);
  watch.Restart(kTerminalSlot);
  return 0;
}
