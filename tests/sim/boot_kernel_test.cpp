// Update mode, boot kernel and XMODEM receive of the module, driven directly with ticks: no pty,
// no thread, no sleep. Packets are built here, apart from the module's own code.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "payloads/payloads.h"
#include "sim/kx420_device.h"
#include "sim/sim_test_util.h"

namespace flashpost::sim {
namespace {

using testing::BlockCount;
using testing::Fields;
using testing::KernelEntry;
using testing::Packet;
using testing::Probe;
using testing::Sentences;
using testing::UpdateCommand;

constexpr LineState k9600{9600, true};
constexpr LineState k115200{115200, true};
const std::string kAckByte = "\x06", kNakByte = "\x15";

// The program's end of the wire, with the time in the test's hands.
struct Wire {
  explicit Wire(ModuleOptions o = {}) : d(std::move(o)) {}

  void Send(const std::string& bytes) {
    d.Receive(now, line, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // Everything the module transmits while `ms` pass, the time moving on as it asks.
  std::string Run(uint32_t ms) {
    std::string out;
    const uint32_t end = now + ms;
    while (true) {
      auto bytes = d.Transmit(now, line);
      out.append(bytes.begin(), bytes.end());
      if (now == end) return out;
      now += std::clamp<uint32_t>(d.IdleFor(now), 1, end - now);
    }
  }
  // Sends and returns what comes back at once.
  std::string Ask(const std::string& bytes) {
    Send(bytes);
    return Run(0);
  }
  // The version report's fields after a probe at the module's speed.
  std::vector<std::string> VersionFields() {
    auto sentences = Sentences(Ask(Probe()));
    return sentences.empty() ? std::vector<std::string>{} : Fields(sentences[0]);
  }

  Kx420Device d;
  uint32_t now = 1000;
  LineState line = k9600;
};

ModuleOptions Quiet() {
  ModuleOptions o;
  o.nmea_period_ms = 0;
  return o;
}

// Update command at 9600, the program back at 115200 before the erase ends, the NAK.
void IntoUpdateMode(Wire& w) {
  w.Send(UpdateCommand());
  w.line = k115200;
  ASSERT_EQ(w.Run(w.d.Options().erase_ms), kNakByte);
}

void IntoKernel(Wire& w) {
  w.line = k115200;
  ASSERT_EQ(w.Ask(KernelEntry()), kNakByte);
}

// Sends blocks `first`..`last` of a payload and returns every answer.
std::string SendBlocks(Wire& w, std::span<const uint8_t> payload, size_t size, uint32_t first,
                       uint32_t last) {
  std::string answers;
  for (uint32_t b = first; b <= last; ++b) answers += w.Ask(Packet(payload, size, b));
  return answers;
}

std::string SendAll(Wire& w, std::span<const uint8_t> payload, size_t size) {
  return SendBlocks(w, payload, size, 1, BlockCount(payload, size));
}

TEST(UpdateModeTest, CommandSilencesTheModuleThenNaksAt115200WhenTheEraseEnds) {
  Wire w{ModuleOptions{}};  // 9600, reporting every second
  EXPECT_NE(w.Run(1000), "");
  w.Send(UpdateCommand());
  EXPECT_EQ(w.d.UpdateCommands(), 1);
  EXPECT_EQ(w.d.Baud(), 115200u);
  const uint32_t command = w.now;
  EXPECT_EQ(w.Ask(Probe()), "");  // at 9600 nobody listens any more
  EXPECT_EQ(w.Run(1500), "");     // no sentences either
  w.line = k115200;               // the program reopens its port
  EXPECT_EQ(w.Run(command + 1999 - w.now), "");
  EXPECT_EQ(w.Run(1), kNakByte);
  EXPECT_EQ(w.now - command, 2000u);
  EXPECT_EQ(w.Run(5000), "");  // asked once
}

TEST(UpdateModeTest, NakWaitsUntilTheProgramIsAt115200) {
  ModuleOptions o = Quiet();
  o.erase_ms = 500;
  Wire w{o};
  w.Send(UpdateCommand());
  EXPECT_EQ(w.Run(1200), "");  // the erase is over, but the program is still at 9600
  w.line = k115200;
  EXPECT_EQ(w.Run(Kx420Device::kLineLookMs), kNakByte);
}

TEST(UpdateModeTest, OnlyTheExactCommandAtTheModulesSpeedCounts) {
  const std::pair<std::string, LineState> bad[] = {
      {"$PQRV11,1,0,6,2,0*1D\r\n", k9600},  // wrong checksum
      {"$PQRV11,1,0,6,2,1*1D\r\n", k9600},  // another command
      {"$PQRV11,1,0,6,2,0\r\n", k9600},     // no checksum
      {UpdateCommand(), k115200},           // at the kernel's speed, not the firmware's
  };
  for (const auto& [command, line] : bad) {
    SCOPED_TRACE(command);
    Wire w{Quiet()};
    w.line = line;
    w.Send(command);
    EXPECT_EQ(w.d.UpdateCommands(), 0);
    EXPECT_EQ(w.d.Baud(), 9600u);
    w.line = k9600;
    EXPECT_EQ(w.VersionFields().size(), 5u);  // the firmware still answers
  }
}

TEST(TransferTest, WholeImageIsTakenAndTheModuleRebootsWithItsVersion) {
  struct Case {
    std::span<const uint8_t> image;
    Payload payload;
    const char* old_major;
    const char* new_major;
  };
  for (const Case& c : {Case{payloads::ImageP1(), Payload::kImageP1, "5", "3"},
                        Case{payloads::ImageP2(), Payload::kImageP2, "3", "5"}}) {
    SCOPED_TRACE(PayloadName(c.payload));
    ModuleOptions o;
    o.version_field3 = c.old_major;
    o.version_field4 = "7";
    Wire w{o};
    IntoUpdateMode(w);
    ASSERT_EQ(BlockCount(c.image, 1024), 480u);
    EXPECT_EQ(SendAll(w, c.image, 1024), std::string(480, '\x06'));
    EXPECT_TRUE(w.d.BadPackets().empty()) << w.d.BadPackets()[0].detail;
    std::vector<size_t> sizes(479, 1028);
    sizes.push_back(1029);
    EXPECT_EQ(w.d.PacketSizes(), sizes);
    EXPECT_EQ(w.d.ImageReceived(), c.payload);
    EXPECT_EQ(w.d.ImagesReceived(), 1);

    EXPECT_EQ(w.Run(Kx420Device::kRebootMs), "");  // the ACK was all
    EXPECT_EQ(w.d.Baud(), 9600u);
    w.line = k9600;
    auto f = w.VersionFields();
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[2], c.new_major);
    EXPECT_EQ(f[3], "7");
    EXPECT_NE(w.Run(1000), "");  // reporting again
  }
}

TEST(TransferTest, EotMayFollowTheLastBlockAMomentLaterButNotMuchLater) {
  const auto image = payloads::ImageP2();
  std::string last = Packet(image, 1024, 480);
  last.pop_back();
  for (uint32_t pause : {300u, 1000u}) {
    SCOPED_TRACE(pause);
    Wire w{Quiet()};
    IntoUpdateMode(w);
    ASSERT_EQ(SendBlocks(w, image, 1024, 1, 479), std::string(479, '\x06'));
    EXPECT_EQ(w.Ask(last), "");  // the ACK waits for the EOT
    EXPECT_EQ(w.Run(pause), "");
    const bool in_time = pause < XmodemReceiver::kByteTimeoutMs;
    EXPECT_EQ(w.Ask("\x04"), in_time ? kAckByte : "");
    EXPECT_EQ(w.d.ImagesReceived(), in_time ? 1 : 0);
    if (!in_time) {
      EXPECT_EQ(w.d.BadPackets().at(0).reason, BadReason::kNoEot);
    }
  }
}

TEST(TransferTest, BadPacketGetsNoAnswerAndTheSameBlockIsStillAwaited) {
  const auto p1 = payloads::ImageP1(), p2 = payloads::ImageP2();
  auto with = [](std::string packet, size_t at, char value) {
    packet[at] = value;
    return packet;
  };
  const std::string good2 = Packet(p1, 1024, 2);
  const std::string sum_fixed_wrong_data = [&] {
    std::string p = good2;
    p[3] = static_cast<char>(p[3] + 1);  // a data byte up, another down: the sum still fits
    p[4] = static_cast<char>(p[4] - 1);
    return p;
  }();
  struct Case {
    const char* what;
    std::string bytes;
    BadReason reason;
  };
  const Case cases[] = {
      {"128-byte block", Packet(payloads::LoaderImage1(), 128, 2), BadReason::kWrongKind},
      {"bad complement", with(good2, 2, 0x00), BadReason::kComplement},
      {"block 1 again", with(with(good2, 1, 1), 2, '\xFE'), BadReason::kBlockNumber},
      {"block 3 early", Packet(p1, 1024, 3), BadReason::kBlockNumber},
      {"bad checksum", with(good2, 1027, static_cast<char>(good2[1027] ^ 1)), BadReason::kChecksum},
      {"other image", Packet(p2, 1024, 2), BadReason::kData},
      {"data off by one", sum_fixed_wrong_data, BadReason::kData},
      {"early EOT", "\x04", BadReason::kEarlyEot},
      {"stray byte", "x", BadReason::kStrayByte},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Wire w{Quiet()};
    IntoUpdateMode(w);
    ASSERT_EQ(w.Ask(Packet(p1, 1024, 1)), kAckByte);
    EXPECT_EQ(w.Ask(c.bytes), "");
    EXPECT_EQ(w.Run(500), "");
    auto bad = w.d.BadPackets();
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].reason, c.reason) << bad[0].detail;
    EXPECT_EQ(bad[0].block, 2u);
    EXPECT_EQ(w.Ask(good2), kAckByte);
  }
}

TEST(TransferTest, PacketCutShortOrGarbledIsGivenUp) {
  Wire w{Quiet()};
  IntoUpdateMode(w);
  const std::string block1 = Packet(payloads::ImageP2(), 1024, 1);
  EXPECT_EQ(w.Ask(block1.substr(0, 600)), "");
  EXPECT_EQ(w.Run(XmodemReceiver::kByteTimeoutMs), "");
  EXPECT_EQ(w.Ask(block1.substr(600)), "");  // its rest alone is no packet
  EXPECT_EQ(w.d.BadPackets().at(0).reason, BadReason::kCutShort);
  EXPECT_EQ(w.d.PacketSizes().at(0), 600u);
  w.Run(XmodemReceiver::kByteTimeoutMs);  // the rest may have looked like a packet's start

  w.line = k9600;
  EXPECT_EQ(w.Ask(block1), "");  // garbage at the updater's 115200
  w.line = k115200;
  EXPECT_EQ(w.Ask(block1.substr(0, 600)), "");
  w.line = k9600;
  w.Send("x");
  EXPECT_EQ(w.d.BadPackets().back().reason, BadReason::kCutShort);
  w.line = k115200;
  EXPECT_EQ(w.Ask(block1.substr(600)), "");
  w.Run(XmodemReceiver::kByteTimeoutMs);
  EXPECT_EQ(w.Ask(block1), kAckByte);
}

TEST(TransferTest, FirstBlockMustBeOneOfTheImagesAndBlockNumbersWrapAfter255) {
  Wire w{Quiet()};
  IntoUpdateMode(w);
  std::string junk = Packet(payloads::LoaderImage1(), 1024, 1);  // right layout, alien data
  EXPECT_EQ(w.Ask(junk), "");
  EXPECT_EQ(w.d.BadPackets().at(0).reason, BadReason::kData);

  const auto image = payloads::ImageP2();
  ASSERT_EQ(SendBlocks(w, image, 1024, 1, 255), std::string(255, '\x06'));
  std::string not_wrapped = Packet(image, 1024, 256);
  not_wrapped[1] = 1;
  not_wrapped[2] = static_cast<char>(0xFE);
  EXPECT_EQ(w.Ask(not_wrapped), "");
  EXPECT_EQ(w.d.BadPackets().at(1).reason, BadReason::kBlockNumber);
  EXPECT_EQ(w.Ask(Packet(image, 1024, 256)), kAckByte);  // number 0, complement 0xFF
}

TEST(KernelTest, EntryAt115200IsAnsweredWithNakWhateverRuns) {
  // The program's way: ESC by ESC 100 ms apart, then the eight '1' (split here as well).
  auto enter = [](Wire& w) {
    std::string out;
    for (int i = 0; i < 7; ++i) out += w.Ask("\x1B") + w.Run(100);
    return out + w.Ask("111") + w.Ask("11111");
  };
  Wire nmea{ModuleOptions{}};
  nmea.line = k115200;
  EXPECT_EQ(enter(nmea), kNakByte);
  EXPECT_EQ(nmea.d.KernelEntries(), 1);
  nmea.line = k9600;
  EXPECT_EQ(nmea.Run(3000), "");  // the firmware has stopped

  Wire erasing{Quiet()};
  erasing.Send(UpdateCommand());
  erasing.line = k115200;
  EXPECT_EQ(enter(erasing), kNakByte);

  Wire receiving{Quiet()};
  IntoKernel(receiving);
  ASSERT_EQ(receiving.Ask(Packet(payloads::ImageP2(), 1024, 1)), kAckByte);
  EXPECT_EQ(enter(receiving), kNakByte);
  EXPECT_EQ(receiving.Ask(Packet(payloads::ImageP2(), 1024, 1)), kAckByte);  // from block 1
}

TEST(KernelTest, OnlyTheExactSequenceAt115200Enters) {
  const std::string esc(1, '\x1B');
  const std::pair<std::string, LineState> bad[] = {
      {KernelEntry(), k9600},
      {KernelEntry(), {19200, true}},
      {KernelEntry(), {115200, false}},
      {esc + KernelEntry(), k115200},                      // eight ESC
      {KernelEntry().substr(1), k115200},                  // six ESC
      {KernelEntry().substr(0, 14), k115200},              // seven '1'
      {std::string(7, '\x1B') + "1111 1111", k115200},     // something between
      {std::string(7, '\x1B') + "\r\n11111111", k115200},  // something between
  };
  for (const auto& [bytes, line] : bad) {
    Wire w{Quiet()};
    w.line = line;
    w.Send(bytes);
    w.line = k115200;
    EXPECT_EQ(w.Run(1000), "");
    EXPECT_EQ(w.d.KernelEntries(), 0);
  }
}

TEST(KernelTest, EntrySequenceInsideABlockIsData) {
  Wire w{Quiet()};
  IntoKernel(w);
  std::string packet = Packet(payloads::ImageP2(), 1024, 1);
  packet.replace(100, 15, KernelEntry());
  EXPECT_EQ(w.Ask(packet), "");
  EXPECT_EQ(w.d.KernelEntries(), 1);
  EXPECT_EQ(w.d.BadPackets().at(0).reason, BadReason::kChecksum);
}

TEST(KernelTest, LoaderThenItsNakThenTheImage) {
  for (auto [loader, payload] : {std::pair{payloads::LoaderImage1(), Payload::kLoader1},
                                 std::pair{payloads::LoaderImage2(), Payload::kLoader2}}) {
    SCOPED_TRACE(PayloadName(payload));
    Wire w{Quiet()};
    IntoKernel(w);
    const uint32_t blocks = BlockCount(loader, 128);
    EXPECT_EQ(blocks, payload == Payload::kLoader1 ? 22u : 28u);
    EXPECT_EQ(SendAll(w, loader, 128), std::string(blocks, '\x06'));
    EXPECT_EQ(w.d.LoaderReceived(), payload);
    EXPECT_EQ(w.d.PacketSizes().back(), 133u);
    EXPECT_EQ(w.d.PacketSizes().front(), 132u);
    EXPECT_EQ(w.d.ImagesReceived(), 0);
    EXPECT_EQ(w.Run(Kx420Device::kLoaderStartMs - 1), "");
    EXPECT_EQ(w.Run(1), kNakByte);  // the loader asks for the image
    // The loader takes images only.
    EXPECT_EQ(w.Ask(Packet(loader, 128, 1)), "");
    EXPECT_EQ(SendAll(w, payloads::ImageP2(), 1024), std::string(480, '\x06'));
    EXPECT_EQ(w.d.ImageReceived(), Payload::kImageP2);
  }
}

TEST(KernelTest, DeadModuleIsSilentButTakesAnImageThroughTheKernelAndComesAlive) {
  ModuleOptions o;
  o.dead_firmware = true;
  o.version_field3 = "3";
  Wire w{o};
  EXPECT_EQ(w.d.Baud(), 115200u);
  for (LineState line : {k9600, k115200}) {
    w.line = line;
    EXPECT_EQ(w.Ask(Probe()) + w.Run(3000), "");
  }
  IntoKernel(w);
  EXPECT_EQ(SendAll(w, payloads::ImageP2(), 1024), std::string(480, '\x06'));
  w.Run(Kx420Device::kRebootMs);
  w.line = k9600;
  EXPECT_EQ(w.VersionFields().at(2), "5");
}

TEST(FaultTest, MissingNaks) {
  ModuleOptions o = Quiet();
  o.no_nak_after_kernel_entry = true;
  o.no_nak_after_erase = true;
  Wire kernel{o};
  kernel.line = k115200;
  EXPECT_EQ(kernel.Ask(KernelEntry()) + kernel.Run(10000), "");
  EXPECT_EQ(kernel.d.KernelEntries(), 1);

  Wire updater{o};
  updater.Send(UpdateCommand());
  updater.line = k115200;
  EXPECT_EQ(updater.Run(10000), "");
  EXPECT_EQ(updater.d.UpdateCommands(), 1);
}

TEST(FaultTest, BlockFaultsHitTheirBlockOfEveryTransfer) {
  const auto image = payloads::ImageP2();
  struct Case {
    uint32_t ModuleOptions::*fault;
    std::string answer_to_block_3;
  };
  for (const Case& c :
       {Case{&ModuleOptions::fail_block, ""}, Case{&ModuleOptions::nak_block, kNakByte}}) {
    ModuleOptions o = Quiet();
    o.*c.fault = 3;
    Wire update{o};
    IntoUpdateMode(update);
    EXPECT_EQ(SendBlocks(update, image, 1024, 1, 3), kAckByte + kAckByte + c.answer_to_block_3);
    EXPECT_EQ(update.Run(1000), "");
    EXPECT_EQ(update.Ask(Packet(image, 1024, 4)), "");  // block 3 was not taken

    Wire loader{o};
    IntoKernel(loader);
    EXPECT_EQ(SendBlocks(loader, payloads::LoaderImage1(), 128, 1, 3),
              kAckByte + kAckByte + c.answer_to_block_3);
  }
}

TEST(FaultTest, LateAckComesLateAndOnlyForItsBlock) {
  ModuleOptions o = Quiet();
  o.late_ack_block = 2;
  o.late_ack_ms = 700;
  Wire w{o};
  IntoUpdateMode(w);
  const auto image = payloads::ImageP2();
  EXPECT_EQ(w.Ask(Packet(image, 1024, 1)), kAckByte);
  EXPECT_EQ(w.Ask(Packet(image, 1024, 2)), "");
  EXPECT_EQ(w.Run(699), "");
  EXPECT_EQ(w.Run(1), kAckByte);
  EXPECT_EQ(w.Ask(Packet(image, 1024, 3)), kAckByte);
}

}  // namespace
}  // namespace flashpost::sim
