#include "sim/line_delay.h"

#include <gtest/gtest.h>

#include <vector>

namespace flashpost::sim {
namespace {

TEST(LineDelayTest, BytesTakeTenBitTimesEachAtTheirSpeedOneWriteAfterTheOther) {
  const uint32_t t0 = 0xFFFFFFC0u;  // the times run across the tick wrap
  LineDelay line;
  EXPECT_EQ(line.NextIn(t0), Device::kMaxIdleMs);
  const std::vector<uint8_t> fast(1152, 0x55), slow(96, 0xAA);
  line.Push(t0, {115200, true}, fast.data(), fast.size());  // 100 ms on the line
  EXPECT_EQ(line.NextIn(t0), 1u);                           // the first byte takes 87 us
  EXPECT_TRUE(line.Take(t0).empty());

  auto half = line.Take(t0 + 50);
  ASSERT_EQ(half.size(), 1u);
  EXPECT_EQ(half[0].bytes.size(), 576u);
  EXPECT_EQ(half[0].tick, t0 + 50);
  EXPECT_EQ(half[0].write, 1u);
  EXPECT_EQ(half[0].line.baud, 115200u);

  // Written while the first is still on the line: it starts when that one is through.
  line.Push(t0 + 60, {9600, true}, slow.data(), slow.size());
  auto pieces = line.Take(t0 + 199);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].bytes.size(), 576u);
  EXPECT_EQ(pieces[0].tick, t0 + 100);
  EXPECT_EQ(pieces[1].write, 2u);
  EXPECT_EQ(pieces[1].bytes.size(), 95u);  // 99 ms at 960 bytes/s
  EXPECT_EQ(pieces[1].tick, t0 + 199);
  EXPECT_EQ(line.NextIn(t0 + 199), 1u);
  EXPECT_EQ(line.Take(t0 + 200).at(0).bytes, std::vector<uint8_t>{0xAA});
  EXPECT_TRUE(line.Empty());

  // An idle line passes a lone byte on after its own time only.
  line.Push(t0 + 5000, {9600, true}, slow.data(), 1);
  EXPECT_TRUE(line.Take(t0 + 5001).empty());
  EXPECT_EQ(line.Take(t0 + 5002).size(), 1u);
}

}  // namespace
}  // namespace flashpost::sim
