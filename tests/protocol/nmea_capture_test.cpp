// Sessions recorded from real receivers, replayed byte by byte through the receive framing into
// the sentence handlers. After every GSV group the tables must hold what an independent decode
// of the same capture says the group reported.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "board/port_board.h"
#include "protocol/nmea.h"
#include "support/fake_serial.h"
#include "workers/framing.h"

namespace flashpost {
namespace {

namespace fs = std::filesystem;
using app::PortBoard;
using Table = std::vector<int32_t>;

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The decode's groups by their last line: the first 12 satellites as the tables keep them
// (numbers above 32 moved up by 87, an empty C/N0 as 0, zeros behind the last one). Reads only
// "last_line" and the [number, C/N0 or null] pairs of "sats".
std::map<int, std::pair<Table, Table>> ReadDecode(const std::string& json) {
  std::map<int, std::pair<Table, Table>> groups;
  for (size_t pos = 0; (pos = json.find("\"last_line\"", pos)) != std::string::npos;) {
    const int last_line = std::atoi(json.c_str() + json.find(':', pos) + 1);
    pos = json.find('[', json.find("\"sats\"", pos));
    if (pos == std::string::npos) return {};
    Table values;  // number, C/N0, number, ...
    for (int depth = 0; pos < json.size(); ++pos) {
      const char c = json[pos];
      if (c == '[') ++depth;
      if (c == ']' && --depth == 0) break;
      if (c == 'n') values.push_back(0);  // null
      if (c == 'n' || std::isdigit(static_cast<unsigned char>(c))) {
        char* end = nullptr;
        if (c != 'n') values.push_back(static_cast<int32_t>(std::strtol(&json[pos], &end, 10)));
        pos = c == 'n' ? pos + 3 : static_cast<size_t>(end - json.c_str()) - 1;
      }
    }
    auto& [prn, snr] = groups[last_line];
    for (size_t i = 0; i + 1 < values.size() && i < 24; i += 2) {
      prn.push_back(values[i] > 32 ? values[i] + 87 : values[i]);
      snr.push_back(values[i + 1]);
    }
    prn.resize(12, 0);
    snr.resize(12, 0);
  }
  return groups;
}

Table Of(const std::array<std::atomic<int32_t>, PortBoard::kGsvSatellites>& entries) {
  Table out;
  for (auto& entry : entries) out.push_back(entry.load());
  return out;
}

TEST(NmeaCaptureTest, ModuleSlotAndTerminalTakeEveryGsvGroupOfRealReceivers) {
  const fs::path folder = FLASHPOST_NMEA_CAPTURES;
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no recorded sessions at " << folder;
  int captures = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const fs::path log = entry.path();
    if (log.extension() != ".log") continue;
    ++captures;
    const auto decoded = ReadDecode(ReadWhole(log.string() + ".gsv.json"));
    ASSERT_FALSE(decoded.empty()) << log << ": the decode did not read";
    for (int slot : {1, app::kTerminalSlot}) {
      SCOPED_TRACE(log.filename().string() + " slot " + std::to_string(slot));
      platform::ManualClock clock;
      testing::FakeSerialSystem serial;
      PortBoard board{clock, serial};
      int line = 1;
      size_t groups_checked = 0;
      workers::Framer framer({
          .mode = [] { return 0; },
          .display = [] {},
          .sentence =
              [&](std::string_view sentence) {
                board.GsvComplete[slot].store(0);
                slot == app::kTerminalSlot ? protocol::HandleTerminalSentence(board, sentence)
                                           : protocol::HandleSlotSentence(board, sentence, slot);
                auto group = decoded.find(line);
                if (group == decoded.end()) return;
                ++groups_checked;
                EXPECT_EQ(board.GsvComplete[slot].load(), 1) << "line " << line;
                EXPECT_EQ(Of(board.SatPrn[slot]), group->second.first) << "line " << line;
                EXPECT_EQ(Of(board.SatSnr[slot]), group->second.second) << "line " << line;
              },
          .frame = [](const uint8_t*) {},
          .read_byte = []() -> std::optional<uint8_t> { return std::nullopt; },
          .now = [] { return uint32_t{0}; },
          .stop_requested = [] { return false; },
      });
      for (char byte : ReadWhole(log)) {
        framer.Feed(static_cast<uint8_t>(byte));
        if (byte == '\n') ++line;
      }
      EXPECT_EQ(groups_checked, decoded.size()) << "every decoded group must reach the handler";
    }
  }
  EXPECT_GT(captures, 0);
}

}  // namespace
}  // namespace flashpost
