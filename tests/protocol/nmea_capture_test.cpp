// Sessions recorded from real receivers, replayed byte by byte through the receive framing into
// the sentence handlers. After every GSV group the tables must hold what an independent decode
// of the same capture says the group reported.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
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

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first 12 satellites of a group as the tables keep them: numbers above 32 moved up by 87,
// an empty C/N0 as 0, zeros behind the last one.
struct DecodedGroup {
  std::vector<int32_t> prn;
  std::vector<int32_t> snr;
};

// Reads the decode's "last_line" and "sats" ([number, C/N0 or null] pairs) of every group; the
// other members are not needed here. An empty map for a file that does not read this way.
std::map<int, DecodedGroup> ReadDecode(const std::string& json) {
  std::map<int, DecodedGroup> groups;
  size_t pos = 0;
  auto skip_blanks = [&] {
    while (pos < json.size() && std::isspace(static_cast<unsigned char>(json[pos]))) ++pos;
  };
  auto expect = [&](char c) {
    skip_blanks();
    if (pos >= json.size() || json[pos] != c) return false;
    ++pos;
    return true;
  };
  auto number = [&]() -> std::optional<int> {
    skip_blanks();
    if (json.compare(pos, 4, "null") == 0) {
      pos += 4;
      return std::nullopt;
    }
    char* end = nullptr;
    long value = std::strtol(json.c_str() + pos, &end, 10);
    pos = static_cast<size_t>(end - json.c_str());
    return static_cast<int>(value);
  };
  while ((pos = json.find("\"last_line\"", pos)) != std::string::npos) {
    pos += 11;
    if (!expect(':')) return {};
    int last_line = number().value_or(-1);
    pos = json.find("\"sats\"", pos);
    if (pos == std::string::npos) return {};
    pos += 6;
    if (!expect(':') || !expect('[')) return {};
    DecodedGroup group;
    while (expect('[')) {
      int prn = number().value_or(0);
      if (!expect(',')) return {};
      int snr = number().value_or(0);
      if (!expect(']')) return {};
      group.prn.push_back(prn > 32 ? prn + 87 : prn);
      group.snr.push_back(snr);
      expect(',');
    }
    if (!expect(']') || group.prn.size() > 12) return {};
    group.prn.resize(12, 0);
    group.snr.resize(12, 0);
    groups[last_line] = group;
  }
  return groups;
}

// Follows the GSV sentences that reach the handler and tells whether a group came whole: messages
// 1..total in a row, each with a sound checksum (checked here with the plain hexadecimal reading).
class GroupTracker {
 public:
  // True when the sentence is the last of a whole group.
  bool EndsWholeGroup(std::string_view sentence) {
    if (sentence.substr(0, 7) != "$GPGSV,") return false;
    if (!SoundChecksum(sentence)) {
      in_a_row_ = 0;  // the group lost a sentence
      return false;
    }
    std::vector<int> fields;
    std::stringstream in{std::string(sentence.substr(7))};
    for (std::string field; fields.size() < 2 && std::getline(in, field, ',');) {
      fields.push_back(std::atoi(field.c_str()));
    }
    if (fields.size() < 2) return false;
    const int total = fields[0];
    const int message = fields[1];
    in_a_row_ = message == 1 || (in_a_row_ > 0 && message == in_a_row_ + 1) ? message : 0;
    return message == total && in_a_row_ == total;
  }

 private:
  static bool SoundChecksum(std::string_view sentence) {
    size_t star = sentence.find('*');
    if (star == std::string_view::npos || star + 3 > sentence.size()) return false;
    uint8_t sum = 0;
    for (char c : sentence.substr(1, star - 1)) sum ^= static_cast<uint8_t>(c);
    std::string digits(sentence.substr(star + 1, 2));
    char* end = nullptr;
    long received = std::strtol(digits.c_str(), &end, 16);
    return end == digits.c_str() + 2 && received == sum;
  }

  int in_a_row_ = 0;
};

std::vector<int32_t> Table(const std::array<std::atomic<int32_t>, PortBoard::kGsvSatellites>& t) {
  std::vector<int32_t> out;
  for (auto& entry : t) out.push_back(entry.load());
  return out;
}

using Handler = std::function<void(PortBoard&, std::string_view)>;

void ReplayEveryCapture(int slot, const Handler& handle) {
  const fs::path folder = FLASHPOST_NMEA_CAPTURES;
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no recorded sessions at " << folder;

  int captures = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const fs::path log = entry.path();
    if (log.extension() != ".log") continue;
    SCOPED_TRACE(log.filename().string());
    ++captures;
    const auto decoded = ReadDecode(ReadWhole(log.string() + ".gsv.json"));
    ASSERT_FALSE(decoded.empty()) << "the decode did not read";

    platform::ManualClock clock;
    testing::FakeSerialSystem serial;
    PortBoard board{clock, serial};
    GroupTracker tracker;
    int line = 1;
    size_t groups_checked = 0;

    workers::Framer framer({
        .mode = [] { return 0; },
        .display = [] {},
        .sentence =
            [&](std::string_view sentence) {
              SCOPED_TRACE("line " + std::to_string(line));
              board.GsvComplete[slot].store(0);
              handle(board, sentence);
              const bool completed = board.GsvComplete[slot].load() == 1;
              const bool whole = tracker.EndsWholeGroup(sentence);
              auto group = decoded.find(line);
              if (group != decoded.end()) {
                ++groups_checked;
                EXPECT_TRUE(completed);
                EXPECT_EQ(Table(board.SatPrn[slot]), group->second.prn);
                EXPECT_EQ(Table(board.SatSnr[slot]), group->second.snr);
              } else if (completed) {
                // The decode leaves out groups that lost a sentence on the line, but the last
                // sentence of such a group still reaches the program sound and ends the group:
                // the tables then hold what did arrive. Anything else ending a group here would
                // be a group the decode or the program got wrong.
                EXPECT_FALSE(whole) << sentence;
              }
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
  EXPECT_GT(captures, 0);
}

TEST(NmeaCaptureTest, ModuleSlotTakesEveryGsvGroupOfRealReceivers) {
  ReplayEveryCapture(1, [](PortBoard& board, std::string_view sentence) {
    protocol::HandleSlotSentence(board, sentence, 1);
  });
}

TEST(NmeaCaptureTest, TerminalTakesEveryGsvGroupOfRealReceivers) {
  ReplayEveryCapture(app::kTerminalSlot, [](PortBoard& board, std::string_view sentence) {
    protocol::HandleTerminalSentence(board, sentence);
  });
}

}  // namespace
}  // namespace flashpost
