// What the simulator promises beyond the program's runs through it: it takes only what a module
// takes, its faults do what they say, its command line, its program. Bytes are built here.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "payloads/payloads.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/kx420_device.h"
#include "sim/sim_args.h"

namespace flashpost::sim {
namespace {

constexpr LineState k9600{9600, true}, k115200{115200, true};
const std::string kAck = "\x06", kNak = "\x15";
const std::string kProbe = "$PQRV14,8*14\r\n", kUpdate = "$PQRV11,1,0,6,2,0*1C\r\n";
const std::string kEntry = std::string(7, '\x1B') + "11111111";  // the boot kernel's

// XMODEM packet `block` (from 1) of `payload` in `size`-byte blocks, EOT after the last.
std::string Packet(std::span<const uint8_t> payload, size_t size, uint32_t block) {
  std::string p = {size == 1024 ? '\x02' : '\x01', static_cast<char>(block),
                   static_cast<char>(255 - block % 256)};
  unsigned sum = 0;
  for (size_t i = (block - 1) * size; i < block * size; ++i) {
    const uint8_t b = i < payload.size() ? payload[i] : 0x1A;
    p += static_cast<char>(b);
    sum += b;
  }
  p += static_cast<char>(sum);
  if (block * size >= payload.size()) p += '\x04';
  return p;
}

// The program's end of the wire, with the time in the test's hands; `heard` collects what the
// module transmits. The calls chain, and a chain runs from left to right.
struct Wire {
  explicit Wire(ModuleOptions o) : d(std::move(o)) {}
  Wire& Send(const std::string& bytes) {
    d.Receive(now, line, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return *this;
  }
  Wire& Run(uint32_t ms) {
    for (const uint32_t end = now + ms;;
         now += std::clamp<uint32_t>(d.IdleFor(now), 1, end - now)) {
      auto bytes = d.Transmit(now, line);
      heard.append(bytes.begin(), bytes.end());
      if (now == end) return *this;
    }
  }
  Wire& Ask(const std::string& bytes) { return Send(bytes).Run(0); }
  Wire& At(LineState to) {
    line = to;
    return *this;
  }
  Wire& Mark() {
    heard += "|";
    return *this;
  }
  // The update command at 9600, the program at 115200 by the erase's end, the updater's NAK.
  Wire& IntoUpdater() { return Send(kUpdate).At(k115200).Run(d.Options().erase_ms); }
  Wire& Blocks(uint32_t first, uint32_t last) {
    for (uint32_t b = first; b <= last; ++b) Ask(Packet(payloads::ImageP2(), 1024, b));
    return *this;
  }
  std::string Take() { return std::exchange(heard, ""); }

  Kx420Device d;
  uint32_t now = 1000;
  LineState line = k9600;
  std::string heard;
};

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

ModuleOptions Quiet(ModuleOptions o = {}) {
  o.nmea_period_ms = 0;
  o.customer_id = "OLD";
  return o;
}

TEST(SimStrictnessTest, WhatARealModuleWouldNotTakeGetsNoAnswerAndChangesNothing) {
  const auto p1 = payloads::ImageP1();
  const std::string good2 = Packet(p1, 1024, 2);
  auto with = [](std::string bytes, size_t at, char value) {
    bytes[at] = value;
    return bytes;
  };
  const struct {
    const char* what;
    bool in_transfer;  // else to the firmware, at `line`
    LineState line;
    std::string bytes;
    BadReason reason = BadReason::kStrayByte;  // in a transfer
  } cases[] = {
      {"probe with a wrong checksum", false, k9600, "$PQRV14,8*15\r\n"},
      {"probe without a checksum", false, k9600, "$PQRV14,8\r\n"},
      {"probe ended by LF alone", false, k9600, "$PQRV14,8*14\n"},
      {"another body, its checksum right", false, k9600, "$PQRV14,9*15\r\n"},
      {"probe with an extra field", false, k9600, "$PQRV14,8,*38\r\n"},
      {"probe without $", false, k9600, "PQRV14,8*14\r\n"},
      {"probe at the kernel's speed", false, k115200, kProbe},
      {"probe at another speed", false, {19200, true}, kProbe},
      {"probe in another framing", false, {9600, false}, kProbe},
      {"another update command", false, k9600, "$PQRV11,1,0,6,2,1*1D\r\n"},
      {"update command at the kernel's speed", false, k115200, kUpdate},
      {"customer ID without its field", false, k9600, "$PQRV29*0E\r\n"},
      {"customer ID command misspelt", false, k9600, "$PQRV290,ABC*52\r\n"},
      {"customer ID with a lower-case checksum", false, k9600, "$PQRV29,ABK*6a\r\n"},
      {"another test start", false, k9600, "$PQRV02,5D*5A\r\n"},
      {"kernel entry at the firmware's speed", false, k9600, kEntry},
      {"eight ESC", false, k115200, "\x1B" + kEntry},
      {"six ESC", false, k115200, kEntry.substr(1)},
      {"seven '1'", false, k115200, kEntry.substr(0, 14)},
      {"a space between", false, k115200, std::string(7, '\x1B') + "1111 1111"},
      {"128-byte block", true, k115200, Packet(payloads::LoaderImage1(), 128, 2),
       BadReason::kWrongKind},
      {"bad complement", true, k115200, with(good2, 2, 0), BadReason::kComplement},
      {"block 1 again", true, k115200, with(with(good2, 1, 1), 2, '\xFE'), BadReason::kBlockNumber},
      {"block 3 early", true, k115200, Packet(p1, 1024, 3), BadReason::kBlockNumber},
      {"bad checksum", true, k115200, with(good2, 1027, static_cast<char>(good2[1027] ^ 1)),
       BadReason::kChecksum},
      {"other image", true, k115200, Packet(payloads::ImageP2(), 1024, 2), BadReason::kData},
      // A data byte up, another down: the sum still fits.
      {"data off by one", true, k115200,
       with(with(good2, 3, static_cast<char>(good2[3] + 1)), 4, static_cast<char>(good2[4] - 1)),
       BadReason::kData},
      {"early EOT", true, k115200, "\x04", BadReason::kEarlyEot},
      {"stray byte", true, k115200, "x", BadReason::kStrayByte},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Wire w{Quiet()};
    if (c.in_transfer) {
      ASSERT_EQ(w.IntoUpdater().Ask(Packet(p1, 1024, 1)).Take(), kNak + kAck);
    }
    EXPECT_EQ(w.At(c.line).Ask(c.bytes).Run(1000).Take(), "");
    EXPECT_EQ(w.d.VersionReports() + w.d.KernelEntries() + w.d.TestStarts(), 0);
    EXPECT_EQ(w.d.UpdateCommands(), c.in_transfer ? 1 : 0);
    EXPECT_EQ(w.d.CustomerId(), "OLD");
    if (c.in_transfer) {
      ASSERT_EQ(w.d.BadPackets().size(), 1u);
      EXPECT_EQ(w.d.BadPackets()[0].reason, c.reason) << w.d.BadPackets()[0].detail;
      EXPECT_EQ(w.d.BadPackets()[0].block, 2u);
      EXPECT_EQ(w.Ask(good2).Take(), kAck) << "the same block is still awaited";
    } else {
      EXPECT_EQ(w.At(k9600).Ask(kProbe).Take().substr(0, 9), "$PQRV100,") << "it still answers";
    }
  }
}

// The faults that no run of the program shows: the others' failures are in the command tests.
TEST(SimFaultTest, RefusedBlockLateAckAndDeadFirmwareDoWhatTheySay) {
  Wire refused{Quiet({.nak_block = 3})};
  refused.IntoUpdater().Blocks(1, 3).Mark().Blocks(3, 3);
  EXPECT_EQ(refused.heard, kNak + kAck + kAck + kNak + "|" + kNak);
  Wire late{Quiet({.late_ack_block = 2, .late_ack_ms = 700})};
  late.IntoUpdater().Blocks(1, 2).Run(699).Mark().Run(1).Blocks(3, 3);
  EXPECT_EQ(late.heard, kNak + kAck + "|" + kAck + kAck);
  Wire dead{Quiet({.dead_firmware = true})};
  dead.Ask(kProbe).Run(3000).At(k115200).Ask(kProbe).Run(3000);
  EXPECT_EQ(dead.heard, "") << "a dead firmware answers at neither speed";
}

TEST(SimArgsTest, EveryOptionReachesTheModulesAndTheReference) {
  SimArgs a;
  std::string error;
  ASSERT_TRUE(ParseSimArgs(
      Words("--modules 8 --baud=115200 --version 3.10 --silent --export --dead-after-image "
            "--erase-ms=0 --fail-block 480 --pace --cn0 45,40,39 --no-id-confirm=7,2 --boot-menu "
            "menu,banner,silent,off,menu --reset-every-ms 9000 --boot-window-ms=1500 --vbi "
            "--vbi-after-download --phases=0,6,4,0 --wrong-phase 3 --calibration-ms 40000 "
            "--no-pvt-ack --no-navigation --stay-vbi --replay log.nmea --reference-baud=9600 "
            "--reference-cn0 50"),
      a, error))
      << error;
  EXPECT_TRUE(a.export_ports && a.reference && a.pace);  // --replay implies the reference
  EXPECT_EQ(std::tuple(a.replay, a.reference_baud, a.reference_cn0),
            std::tuple("log.nmea", 9600u, 50));
  using enum BootMenuKind;
  const BootMenuKind kinds[] = {kMenu, kBannerOnly, kSilent, kOff, kMenu};
  for (int k = 0; k < 8; ++k) {
    SCOPED_TRACE(k);
    const ModuleOptions o = ModuleOptionsFor(a, k);
    EXPECT_EQ(std::tuple(o.baud, o.erase_ms, o.fail_block, o.boot.window_ms, o.boot.reset_every_ms,
                         o.vbi.calibration_ms),
              std::tuple(115200u, 0u, 480u, 1500u, 9000u, 40000u));
    EXPECT_EQ(o.version_field3 + "." + o.version_field4, "3.10");
    EXPECT_TRUE(o.silent && o.dead_after_image && o.pace_line_rate);
    EXPECT_EQ(o.strongest_cn0, k < 2 ? 45 - 5 * k : 39);
    EXPECT_EQ(o.confirm_customer_id, k != 7 && k != 2);
    EXPECT_EQ(o.boot.kind, kinds[std::min(k, 4)]);
    EXPECT_TRUE(o.vbi.at_boot && o.vbi.after_all_image && o.vbi.stay_in_vbi);
    EXPECT_FALSE(o.vbi.acknowledge_pvt || o.vbi.navigation_reports);
    EXPECT_EQ(o.vbi.phases, (std::array<uint8_t, 4>{0, 6, 5, 0}));
  }
  ASSERT_TRUE(ParseSimArgs({"--dead", "--version=X.1b"}, a, error)) << error;
  EXPECT_TRUE(ModuleOptionsFor(a, 0).dead_firmware);
  EXPECT_EQ(a.version_field3, "X");  // not a number: the program reads 0
}

TEST(SimArgsTest, RefusesWhatItCannotPlayWithAOneLineReason) {
  // --no-id-confirm 1: one module only, module 1 does not exist. --reset-every-ms 1000: no boot
  // code, nothing to reset.
  const std::string bad =
      "--modules|--modules 0|--modules 17|--modules 2x|--baud 0|--baud -9600|--version 5|--version "
      "5.|--version .1|--version 5.1*|--silent=yes|--frobnicate|extra|--erase-ms -1|--fail-block "
      "0|--cn0 100|--cn0 45,,39|--cn0 45,|--cn0=|--reference-cn0 x|--no-id-confirm 1|--modules 4 "
      "--no-id-confirm 0,4|--boot-menu menu,maybe|--boot-window-ms 0|--boot-menu menu "
      "--reset-every-ms 0|--reset-every-ms 1000|--phases 7,6,4|--phases 7,6,8,0|--wrong-phase "
      "1|--wrong-phase 5|--calibration-ms x|--replay=|--reference-baud 0|--vbi=1";
  for (size_t from = 0, to; from < bad.size(); from = to + 1) {
    to = std::min(bad.find('|', from), bad.size());
    const std::string args = bad.substr(from, to - from);
    SimArgs out;
    std::string error;
    EXPECT_FALSE(ParseSimArgs(Words(args), out, error)) << args;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(SimProgramTest, PrintsItsPortsServesThemAndEndsOnASignal) {
  const std::string program = KX420_SIM_PATH;
  std::string error;
  auto sim = platform::StartChildProcess(
      Words(program + " --modules 2 --reference --export --baud 4800 --version 3.10"), {}, error);
  ASSERT_NE(sim, nullptr) << error;
  std::string out;
  for (int i = 0; i < 1000 && std::count(out.begin(), out.end(), '\n') < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    out = sim->Output();
  }
  char m0[64], m1[64], ref[64];
  ASSERT_EQ(
      std::sscanf(out.c_str(), "module 0: %63s\nmodule 1: %63s\nreference: %63s", m0, m1, ref), 3)
      << out;
  EXPECT_NE(out.find(std::string("\nFLASHPOST_PORTS=") + m0 + ":" + m1 + ":" + ref + "\n"),
            std::string::npos)
      << out;

  platform::SystemClock clock;
  auto port = platform::MakeHostSerialSystem()->Open(m1, clock, 50);
  ASSERT_TRUE(port && port->Configure(4800));
  ASSERT_TRUE(port->Write(reinterpret_cast<const uint8_t*>(kProbe.data()), kProbe.size()));
  std::string heard;
  uint8_t buf[256];
  for (int i = 0; i < 60 && heard.find("*", heard.find("$PQRV100,")) == std::string::npos; ++i) {
    heard.append(reinterpret_cast<char*>(buf), port->Read(buf, sizeof buf));
  }
  EXPECT_NE(heard.find(",3,10,", heard.find("$PQRV100,")), std::string::npos) << heard;
  port->Close();
  sim->Signal(SIGTERM);
  EXPECT_EQ(sim->Wait(std::chrono::seconds(10)), 0);
}

}  // namespace
}  // namespace flashpost::sim
