// The simulated module on a real pseudo-terminal, reached through the program's own serial layer
// the way the program will reach it. Time runs on a sped-up clock and is measured in its ticks.

#include "sim/simulated_module.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "payloads/payloads.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/sim_test_util.h"

namespace flashpost::sim {
namespace {

using platform::Elapsed;
using platform::ScaledClock;
using platform::SerialDevice;
using testing::BlockCount;
using testing::ChecksumOk;
using testing::Fields;
using testing::KernelEntry;
using testing::Packet;
using testing::Probe;
using testing::Sentences;
using testing::StartsWith;
using testing::UpdateCommand;

constexpr double kSpeedUp = 25;
constexpr uint8_t kAck = 0x06, kNak = 0x15;

class SimulatedModuleTest : public ::testing::Test {
 protected:
  explicit SimulatedModuleTest(double speed_up = kSpeedUp) : clock_(speed_up) {}

  std::unique_ptr<SimulatedModule> Make(ModuleOptions options) {
    auto module = std::make_unique<SimulatedModule>(std::move(options), clock_);
    EXPECT_TRUE(module->ok());
    module->Start();
    return module;
  }

  // The program's side: the port opened and set to `baud`, with nothing stale waiting.
  std::unique_ptr<SerialDevice> Open(const SimulatedModule& module, uint32_t baud) {
    auto dev = serial_->Open(module.PortPath(), clock_, 100);
    EXPECT_NE(dev, nullptr);
    if (!dev) return nullptr;
    EXPECT_TRUE(dev->Configure(baud));
    dev->Purge(true, true);
    return dev;
  }

  void Write(SerialDevice& dev, const std::string& bytes) {
    ASSERT_TRUE(dev.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  }

  // Everything that arrives within `ms` ticks.
  std::string ReadFor(SerialDevice& dev, uint32_t ms) {
    std::string text;
    uint32_t start = clock_.Ticks();
    uint8_t buf[512];
    while (!Elapsed(clock_.Ticks(), start, ms)) {
      size_t n = dev.Read(buf, sizeof buf);
      text.append(reinterpret_cast<char*>(buf), n);
    }
    return text;
  }

  // Reads until a whole sentence starting with `head` has arrived or `limit_ms` ticks passed;
  // returns that sentence (without CR LF), empty if none came, and the tick it was complete at.
  std::string ReadUntil(SerialDevice& dev, const std::string& head, uint32_t limit_ms,
                        uint32_t* at_tick = nullptr) {
    std::string text;
    uint32_t start = clock_.Ticks();
    uint8_t buf[1];
    while (!Elapsed(clock_.Ticks(), start, limit_ms)) {
      if (dev.Read(buf, 1) == 0) continue;
      text += static_cast<char>(buf[0]);
      if (buf[0] != '\n') continue;
      for (const auto& s : Sentences(text)) {
        if (!StartsWith(s, head)) continue;
        if (at_tick) *at_tick = clock_.Ticks();
        return s;
      }
    }
    return "";
  }

  // Reads single bytes, as the program's handshake waits do, until `awaited` arrives or `limit_ms`
  // ticks have passed; the tick it arrived at, or nothing.
  std::optional<uint32_t> WaitForByte(SerialDevice& dev, uint8_t awaited, uint32_t limit_ms) {
    uint32_t start = clock_.Ticks();
    uint8_t b = 0;
    while (!Elapsed(clock_.Ticks(), start, limit_ms)) {
      if (dev.Read(&b, 1) == 1 && b == awaited) return clock_.Ticks();
    }
    return std::nullopt;
  }

  // Sends a payload block by block, each after the previous one's ACK; false at the first block
  // that is not acknowledged. `pause_ms` follows every ACK.
  bool SendPayload(SerialDevice& dev, std::span<const uint8_t> payload, size_t size,
                   uint32_t pause_ms = 0) {
    for (uint32_t b = 1; b <= BlockCount(payload, size); ++b) {
      Write(dev, Packet(payload, size, b));
      if (!WaitForByte(dev, kAck, kGenerousMs)) {
        ADD_FAILURE() << "no ACK for block " << b;
        return false;
      }
      if (pause_ms) clock_.Sleep(pause_ms);
    }
    return true;
  }

  // The boot kernel's entry as the program sends it: ESC by ESC, 100 ms apart, then eight '1'.
  void SendKernelEntry(SerialDevice& dev) {
    for (int i = 0; i < 7; ++i) {
      Write(dev, "\x1B");
      clock_.Sleep(100);
    }
    Write(dev, "11111111");
  }

  // For waits whose length is not the point: long enough for a loaded machine.
  static constexpr uint32_t kGenerousMs = 20000;

  ScaledClock clock_;
  std::unique_ptr<platform::SerialSystem> serial_ = platform::MakeHostSerialSystem();
};

ModuleOptions Quiet() {
  ModuleOptions o;
  o.nmea_period_ms = 0;
  return o;
}

TEST_F(SimulatedModuleTest, AnswersTheProbeAtItsOwnSpeed) {
  ModuleOptions o;
  o.baud = 4800;
  o.version_field3 = "3";
  o.version_field4 = "10";
  auto module = Make(o);
  EXPECT_EQ(module->CurrentBaud(), 4800u);
  auto dev = Open(*module, 4800);
  ASSERT_NE(dev, nullptr);
  Write(*dev, Probe());
  std::string reply = ReadUntil(*dev, "$PQRV100,", 2000);
  ASSERT_FALSE(reply.empty());
  EXPECT_TRUE(ChecksumOk(reply)) << reply;
  auto f = Fields(reply);
  ASSERT_GE(f.size(), 4u);
  EXPECT_EQ(f[2], "3");
  EXPECT_EQ(f[3], "10");
  EXPECT_EQ(module->ProbeReplies(), 1);
  EXPECT_EQ(module->ReceivedText(), Probe());
}

TEST_F(SimulatedModuleTest, AtAnotherSpeedItNeitherAnswersNorTalks) {
  auto module = Make(ModuleOptions{});  // 9600, reporting every second
  auto dev = Open(*module, 19200);
  ASSERT_NE(dev, nullptr);
  Write(*dev, Probe());
  EXPECT_EQ(ReadFor(*dev, 3000), "");
  EXPECT_EQ(module->ProbeReplies(), 0);
  EXPECT_EQ(module->ReceivedText(), "");
  auto chunks = module->Received();
  std::string all;
  for (const auto& c : chunks) {
    EXPECT_FALSE(c.understood);
    EXPECT_EQ(c.line_baud, 19200u);
    all.append(c.bytes.begin(), c.bytes.end());
  }
  EXPECT_EQ(all, Probe());  // recorded all the same

  // At its own speed the same module is alive.
  ASSERT_TRUE(dev->Configure(9600));
  Write(*dev, Probe());
  EXPECT_FALSE(ReadUntil(*dev, "$PQRV100,", 2000).empty());
  EXPECT_EQ(module->ProbeReplies(), 1);
}

TEST_F(SimulatedModuleTest, PeriodicSentencesAreValidAndCarryACompleteGsvGroup) {
  auto module = Make(ModuleOptions{});
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  std::string text = ReadFor(*dev, 2600);
  auto sentences = Sentences(text);
  ASSERT_GE(sentences.size(), 7u) << text;
  int gga = 0, gsa = 0, other_talker = 0;
  std::vector<std::string> gsv;
  for (const auto& s : sentences) {
    EXPECT_TRUE(ChecksumOk(s)) << s;
    gga += StartsWith(s, "$GPGGA,");
    if (StartsWith(s, "$GPGSA,")) {
      ++gsa;
      EXPECT_EQ(Fields(s)[1], "3");
    }
    other_talker += StartsWith(s, "$GL");
    if (StartsWith(s, "$GPGSV,")) gsv.push_back(s);
  }
  EXPECT_GE(gga, 2);
  EXPECT_GE(gsa, 2);
  EXPECT_GE(other_talker, 2);

  // The first group in full: sentences 1..3 of 3, nine satellites in view, all of them listed.
  ASSERT_GE(gsv.size(), 3u);
  int blocks = 0;
  bool above32 = false;
  for (int m = 1; m <= 3; ++m) {
    auto f = Fields(gsv[m - 1]);
    EXPECT_EQ(f[0], "3");
    EXPECT_EQ(f[1], std::to_string(m));
    EXPECT_EQ(f[2], "09");
    ASSERT_EQ((f.size() - 3) % 4, 0u) << gsv[m - 1];
    for (size_t i = 3; i < f.size(); i += 4) {
      ++blocks;
      above32 |= std::stoi(f[i]) > 32;
    }
  }
  EXPECT_EQ(blocks, 9);
  EXPECT_TRUE(above32);
}

TEST_F(SimulatedModuleTest, LateAnswerArrivesAfterTheDelay) {
  ModuleOptions o = Quiet();
  o.reply_delay_ms = 1500;
  auto module = Make(o);
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  uint32_t sent = clock_.Ticks();
  Write(*dev, Probe());
  uint32_t arrived = 0;
  ASSERT_FALSE(ReadUntil(*dev, "$PQRV100,", 5000, &arrived).empty());
  auto chunks = module->Received();
  ASSERT_FALSE(chunks.empty());
  uint32_t heard = chunks[0].tick_ms;
  EXPECT_LT(heard - sent, 1000u);
  // The delay runs from when the module heard the probe; a loaded machine may add to it but
  // never take from it.
  EXPECT_GE(arrived - heard, 1500u);
  EXPECT_GE(arrived - sent, 1500u);
  EXPECT_LT(arrived - sent, 3000u);
}

TEST_F(SimulatedModuleTest, SilentModuleSendsNothing) {
  ModuleOptions o;
  o.silent = true;
  auto module = Make(o);
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  Write(*dev, Probe());
  EXPECT_EQ(ReadFor(*dev, 2500), "");
  EXPECT_EQ(module->ProbeReplies(), 0);
  EXPECT_EQ(module->ReceivedText(), Probe());  // it still hears
}

TEST_F(SimulatedModuleTest, CorruptGsvOptionReallyCorruptsIt) {
  ModuleOptions o;
  o.corrupt_gsv_checksum = true;
  auto module = Make(o);
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  auto sentences = Sentences(ReadFor(*dev, 1600));
  int gsv = 0;
  for (const auto& s : sentences) {
    bool is_gsv = StartsWith(s, "$GPGSV,");
    gsv += is_gsv;
    EXPECT_EQ(ChecksumOk(s), !is_gsv) << s;
  }
  EXPECT_GE(gsv, 3);
}

TEST_F(SimulatedModuleTest, ReceivedLogHoldsTheExactBytesWithIncreasingTicks) {
  auto module = Make(Quiet());
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  const std::string binary("\x00\xFF\x81\r\n\x15", 6);
  Write(*dev, Probe());
  clock_.Sleep(1000);
  Write(*dev, binary);
  clock_.Sleep(1000);
  Write(*dev, Probe());
  ASSERT_FALSE(ReadUntil(*dev, "$PQRV100,", 1000).empty());
  ASSERT_FALSE(ReadUntil(*dev, "$PQRV100,", 1000).empty());

  auto chunks = module->Received();
  std::string all;
  uint32_t last = chunks.empty() ? 0 : chunks[0].tick_ms;
  for (const auto& c : chunks) {
    EXPECT_TRUE(c.understood);
    EXPECT_EQ(c.line_baud, 9600u);
    EXPECT_GE(static_cast<int32_t>(c.tick_ms - last), 0);
    last = c.tick_ms;
    all.append(c.bytes.begin(), c.bytes.end());
  }
  EXPECT_EQ(all, Probe() + binary + Probe());
  EXPECT_EQ(module->ReceivedText(), all);
  ASSERT_EQ(chunks.size(), 3u);  // writes 1000 ticks apart are told apart
  EXPECT_GE(chunks[2].tick_ms - chunks[0].tick_ms, 1000u);
  EXPECT_EQ(module->ProbeReplies(), 2);
}

TEST_F(SimulatedModuleTest, StopsAndStartsAgain) {
  auto module = Make(Quiet());
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  module->Stop();
  Write(*dev, Probe());
  EXPECT_EQ(ReadFor(*dev, 500), "");
  module->Start();  // takes in what waited meanwhile
  EXPECT_FALSE(ReadUntil(*dev, "$PQRV100,", 1500).empty());
  module->Stop();
  module->Stop();
}

TEST_F(SimulatedModuleTest, ModulesAreIndependent) {
  ModuleOptions fast = Quiet();
  fast.baud = 115200;
  fast.version_field3 = "3";
  auto a = Make(Quiet());
  auto b = Make(fast);
  EXPECT_NE(a->PortPath(), b->PortPath());
  auto da = Open(*a, 9600);
  auto db = Open(*b, 115200);
  ASSERT_TRUE(da && db);
  Write(*db, Probe());
  EXPECT_EQ(Fields(ReadUntil(*db, "$PQRV100,", 2000)).at(2), "3");
  EXPECT_EQ(ReadFor(*da, 300), "");
  EXPECT_EQ(a->ProbeReplies(), 0);
  EXPECT_EQ(b->ProbeReplies(), 1);
}

// The update roads of the program, played by hand over the pty on a faster clock, so that a
// whole image of 480 packets crosses in a fraction of a second.
class SimulatedUpdateTest : public SimulatedModuleTest {
 protected:
  SimulatedUpdateTest() : SimulatedModuleTest(100) {}

  std::string ProbeMajor(SerialDevice& dev) {
    Write(dev, Probe());
    auto f = Fields(ReadUntil(dev, "$PQRV100,", 2000));
    return f.size() > 2 ? f[2] : "no answer";
  }
};

TEST_F(SimulatedUpdateTest, CommandedUpdateTakesTheImageAndTheNewVersionShows) {
  auto module = Make(Quiet());  // reports major version 5
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(ProbeMajor(*dev), "5");

  const uint32_t sent = clock_.Ticks();
  Write(*dev, UpdateCommand());
  clock_.Sleep(1000);
  dev->Close();
  clock_.Sleep(500);
  dev = Open(*module, 115200);
  ASSERT_NE(dev, nullptr);
  auto nak = WaitForByte(*dev, kNak, 5000);
  ASSERT_TRUE(nak);
  EXPECT_GE(*nak - sent, 2000u);  // not before the erase is over

  ASSERT_TRUE(SendPayload(*dev, payloads::ImageP1(), 1024));
  EXPECT_EQ(module->ImageReceived(), Payload::kImageP1);
  EXPECT_EQ(module->PacketsReceived(), 480u);
  EXPECT_EQ(module->PacketSizes().back(), 1029u);
  EXPECT_TRUE(module->BadPackets().empty());

  clock_.Sleep(500);
  ASSERT_TRUE(dev->Configure(9600));
  EXPECT_EQ(ProbeMajor(*dev), "3");
  EXPECT_EQ(module->Version(), "3.1");
}

TEST_F(SimulatedUpdateTest, DeadModuleHearsOnlyTheKernelAndTakesLoaderAndImage) {
  ModuleOptions o;
  o.dead_firmware = true;
  auto module = Make(o);
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  Write(*dev, Probe());
  SendKernelEntry(*dev);
  EXPECT_EQ(ReadFor(*dev, 1500), "");  // neither the probe nor the entry at 9600
  ASSERT_TRUE(dev->Configure(115200));
  Write(*dev, Probe());
  EXPECT_EQ(ReadFor(*dev, 1500), "");
  EXPECT_EQ(module->KernelEntries(), 0);

  SendKernelEntry(*dev);
  ASSERT_TRUE(WaitForByte(*dev, kNak, 10000));
  ASSERT_TRUE(SendPayload(*dev, payloads::LoaderImage2(), 128, 50));
  EXPECT_EQ(module->LoaderReceived(), Payload::kLoader2);
  ASSERT_TRUE(WaitForByte(*dev, kNak, 5000));  // the loader asks for the image
  ASSERT_TRUE(SendPayload(*dev, payloads::ImageP2(), 1024));
  EXPECT_EQ(module->ImageReceived(), Payload::kImageP2);

  clock_.Sleep(500);
  ASSERT_TRUE(dev->Configure(9600));
  EXPECT_EQ(ProbeMajor(*dev), "5");
}

TEST_F(SimulatedUpdateTest, PacedLineAnswersNoEarlierThanARealLine) {
  ModuleOptions o = Quiet();
  o.pace_line_rate = true;
  auto module = Make(o);
  auto dev = Open(*module, 9600);
  ASSERT_NE(dev, nullptr);
  // 14 bytes of probe and 33 of report at 960 bytes/s.
  uint32_t sent = clock_.Ticks(), answered = 0;
  Write(*dev, Probe());
  ASSERT_FALSE(ReadUntil(*dev, "$PQRV100,", 2000, &answered).empty());
  EXPECT_GE(answered - sent, 48u);

  ASSERT_TRUE(dev->Configure(115200));
  Write(*dev, KernelEntry());
  ASSERT_TRUE(WaitForByte(*dev, kNak, kGenerousMs));
  sent = clock_.Ticks();
  Write(*dev, Packet(payloads::ImageP2(), 1024, 1));
  auto ack = WaitForByte(*dev, kAck, kGenerousMs);
  ASSERT_TRUE(ack);
  EXPECT_GE(*ack - sent, 89u);                       // 1028 bytes at 11520 bytes/s
  EXPECT_EQ(module->Received().back().size, 1028u);  // held back in parts, logged as one
}

}  // namespace
}  // namespace flashpost::sim
