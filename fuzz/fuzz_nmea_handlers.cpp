// Arbitrary bytes as sentences for the module slot and terminal sentence handlers. Each must stay
// inside the sentence it is given (the sanitizers see any read beyond it) and inside the tables
// of its own slot.
//
// Input: byte 0 picks the module slot (-1..10, so slots the handler must refuse come up too);
// the rest is cut at each LF into lines. A line's first byte picks the start put before the rest
// of it (or none), whether the true checksum and a CR go behind it, and whether the one-shot
// reply flags are cleared first, so that fuzzing reaches the parsers rather than the tests
// in front of them.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "board/port_board.h"
#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"

namespace {

using flashpost::app::kSlotCount;
using flashpost::app::kTerminalSlot;
using flashpost::app::PortBoard;

constexpr std::string_view kStarts[] = {
    "",         "$GPGSV,", "$GPGSA,", "$PQRV100,", "$GPGSV,3", "$PQRV28,01,",
    "$PQRV200", "$GP",     "$PQ",     "$"};

void Require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_nmea_handlers: %s\n", what);
    std::abort();
  }
}

// Everything the handlers may write, for one slot.
struct SlotState {
  static constexpr size_t kNumbers = 10 + 2 * PortBoard::kGsvSatellites;
  std::array<int64_t, kNumbers> numbers{};
  std::array<std::string, 4> texts;
};

std::array<int64_t, SlotState::kNumbers> Numbers(const PortBoard& board, int slot) {
  std::array<int64_t, SlotState::kNumbers> n{};
  size_t i = 0;
  for (const auto* table :
       {&board.ReadEnabled, &board.ProtocolMode, &board.VersionSeen, &board.CustomerIdReplySeen,
        &board.Reply200Seen, &board.GsvComplete, &board.FixType}) {
    n[i++] = (*table)[slot].load();
  }
  n[i++] = board.PortHandle[slot].load();
  n[i++] = board.StatusColor[slot].load();
  n[i++] = board.Port[slot].Get() != nullptr;
  for (int e = 0; e < PortBoard::kGsvSatellites; ++e) {
    n[i++] = board.SatPrn[slot][e].load();
    n[i++] = board.SatSnr[slot][e].load();
  }
  return n;
}

SlotState Snapshot(const PortBoard& board, int slot) {
  SlotState s;
  s.numbers = Numbers(board, slot);
  s.texts[0] = board.StatusText[slot].Get();
  s.texts[1] = board.VersionField3[slot].Get();
  s.texts[2] = board.VersionField4[slot].Get();
  if (flashpost::app::IsModuleSlot(slot)) s.texts[3] = board.CustomerIdReply[slot].Get();
  return s;
}

bool Unchanged(const PortBoard& board, int slot, const SlotState& s) {
  return Numbers(board, slot) == s.numbers && board.StatusText[slot] == s.texts[0] &&
         board.VersionField3[slot] == s.texts[1] && board.VersionField4[slot] == s.texts[2] &&
         (!flashpost::app::IsModuleSlot(slot) || board.CustomerIdReply[slot] == s.texts[3]);
}

// The board as last seen; after each call only the slot the handler works on may differ.
class BoardWatch {
 public:
  explicit BoardWatch(const PortBoard& board) : board_(board) { Refresh(); }
  void RequireOnlyChanged(int allowed) {
    for (int slot = 0; slot < kSlotCount; ++slot) {
      if (slot != allowed) Require(Unchanged(board_, slot, slots_[slot]), "another slot changed");
    }
    if (allowed >= 0) slots_[allowed] = Snapshot(board_, allowed);
  }
  // Changes made by the harness itself.
  void Refresh() {
    for (int slot = 0; slot < kSlotCount; ++slot) slots_[slot] = Snapshot(board_, slot);
  }

 private:
  const PortBoard& board_;
  std::array<SlotState, kSlotCount> slots_;
};

void RequireSane(const PortBoard& board, int slot) {
  for (const auto* flag :
       {&board.VersionSeen, &board.CustomerIdReplySeen, &board.Reply200Seen, &board.GsvComplete}) {
    int32_t value = (*flag)[slot].load();
    Require(value == 0 || value == 1, "a flag holds neither 0 nor 1");
  }
  Require(board.VersionField3[slot].Get().size() <= flashpost::protocol::kVersionFieldMaxLength,
          "version field 3 too long");
  Require(board.VersionField4[slot].Get().size() <= flashpost::protocol::kVersionFieldMaxLength,
          "version field 4 too long");
  if (flashpost::app::IsModuleSlot(slot)) {
    Require(
        board.CustomerIdReply[slot].Get().size() <= flashpost::protocol::kCustomerIdReplyMaxLength,
        "customer ID reply too long");
  }
  int32_t fix = board.FixType[kTerminalSlot].load();
  Require(fix >= 0 && fix <= 9, "fix type is not one digit");
}

std::string BuildLine(std::string_view raw) {
  if (raw.empty()) return {};
  const uint8_t control = static_cast<uint8_t>(raw[0]);
  std::string line(kStarts[control % std::size(kStarts)]);
  line += raw.substr(1);
  if (control & 0x80) {
    line += '*';
    line += flashpost::protocol::NmeaChecksum(line).text;
    line += '\r';
  }
  return line;
}

// Hands the handler a copy exactly as long as the line, so a read past its end is an error.
template <class Handle>
void WithExactCopy(const std::string& line, Handle handle) {
  auto copy = std::make_unique<char[]>(line.size());
  line.copy(copy.get(), line.size());
  handle(std::string_view(copy.get(), line.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int slot = data[0] % 12 - 1;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  flashpost::platform::ManualClock clock;
  std::vector<std::string> names;
  for (int k = 0; k < kSlotCount; ++k) names.push_back("port" + std::to_string(k));
  flashpost::testing::FakeSerialSystem serial(names);
  PortBoard board(clock, serial);
  for (int k = 0; k < kSlotCount; ++k) {
    Require(flashpost::serial::OpenPort(board, names[k], "4800", k) == 1, "fake port refused");
  }
  const int module_slot = flashpost::app::IsModuleSlot(slot) ? slot : -1;
  BoardWatch watch(board);

  while (!rest.empty()) {
    const size_t lf = rest.find('\n');
    const std::string_view raw = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);

    if (!raw.empty() && (static_cast<uint8_t>(raw[0]) & 0x40)) {
      for (int k = 0; k < kSlotCount; ++k) {
        board.VersionSeen[k].store(0);
        board.CustomerIdReplySeen[k].store(0);
        board.Reply200Seen[k].store(0);
      }
      watch.Refresh();
    }
    const std::string line = BuildLine(raw);

    WithExactCopy(line, [&](std::string_view sentence) {
      flashpost::protocol::HandleSlotSentence(board, sentence, slot);
    });
    watch.RequireOnlyChanged(module_slot);
    if (module_slot >= 0) RequireSane(board, module_slot);

    WithExactCopy(line, [&](std::string_view sentence) {
      flashpost::protocol::HandleTerminalSentence(board, sentence);
    });
    watch.RequireOnlyChanged(kTerminalSlot);
    RequireSane(board, kTerminalSlot);
  }
  return 0;
}
