// The module's boot code after a reset, on the device core: banner, boot window, erase menu and
// its questions. Driven with ticks: no pty, no thread, no sleep.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/kx420_device.h"
#include "sim/sim_test_util.h"

namespace flashpost::sim {
namespace {

using testing::KernelEntry;
using testing::Probe;
using testing::Sentence;
using testing::Sentences;
using testing::StartsWith;

constexpr LineState k9600{9600, true};
constexpr LineState k115200{115200, true};

ModuleOptions WithBootCode(BootMenuKind kind) {
  ModuleOptions o;
  o.nmea_period_ms = 0;
  o.boot.kind = kind;
  o.boot.window_ms = 2000;
  return o;
}

void Send(Kx420Device& d, uint32_t tick, const std::string& bytes, LineState line = k115200) {
  d.Receive(tick, line, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Out(Kx420Device& d, uint32_t tick, LineState line = k115200) {
  auto bytes = d.Transmit(tick, line);
  return std::string(bytes.begin(), bytes.end());
}

size_t Count(const std::string& text, char c) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), c));
}

// The module ran its firmware at 9600; at `tick` the program sets 115200, which resets it.
std::string ResetByTheLine(Kx420Device& d, uint32_t tick) {
  Out(d, tick - 10, k9600);
  return Out(d, tick);
}

// The flash eraser's way with the module, tick by tick (100 ms): it counts 'Z' until six, sends
// five spaces without reading, reads the menu with the count waiting before its sixth space,
// then takes the count waiting, sends '0', drops that many bytes, reads as many again and sends
// one 'y' per 'E' in them. Returns how many 'y' it sent, -1 where it would get stuck. The module
// runs its firmware at 9600 until the eraser opens the port at 115200 at `start`.
int PlayTheEraser(Kx420Device& d, uint32_t start) {
  Out(d, start - 10, k9600);
  std::string waiting;
  uint32_t t = start - 100;
  auto tick = [&] {
    t += 100;
    waiting += Out(d, t);
  };
  int zs = 0;
  for (int i = 0; zs < 6; ++i) {
    if (i == 50) return -1;
    tick();
    zs += static_cast<int>(Count(waiting, 'Z'));
    waiting.clear();
  }
  for (int i = 0; i < 5; ++i) {
    tick();
    Send(d, t, " ");
  }
  tick();
  if (waiting.size() > 1024) return -1;  // the eraser would throw it away
  const std::string menu = waiting;
  waiting.clear();
  Send(d, t, " ");
  if (Count(menu, '=') < 4) return -1;
  tick();
  const size_t count = waiting.size();
  Send(d, t, "0");
  waiting += Out(d, t);
  waiting.erase(0, count);
  const std::string answer = waiting.substr(0, count);
  const int ys = static_cast<int>(Count(answer, 'E'));
  for (int i = 0; i < ys; ++i) Send(d, t, "y");
  return ys;
}

TEST(BootMenuTest, TheEraserGetsThroughTheMenuAndEveryQuestion) {
  ModuleOptions o = WithBootCode(BootMenuKind::kMenu);
  o.customer_id = "KEPT-UNTIL-ERASED";
  Kx420Device d(o);
  EXPECT_EQ(PlayTheEraser(d, 1000), 3);
  EXPECT_EQ(d.Resets(), 1);
  Out(d, 3000);
  EXPECT_EQ(d.Erased(), (std::vector<std::string>{"firmware", "settings", "calibration"}));
  // No firmware any more: only the boot kernel, and the settings with the ID are gone.
  EXPECT_EQ(d.ModeName(), "boot kernel only (no firmware)");
  EXPECT_EQ(d.CustomerId(), "");
  Send(d, 3100, KernelEntry());
  EXPECT_EQ(Out(d, 3100), "\x15");
}

TEST(BootMenuTest, BannerMenuAndQuestionsAsTheBytesShowThem) {
  Kx420Device d(WithBootCode(BootMenuKind::kMenu));
  const std::string banner = ResetByTheLine(d, 1000);
  EXPECT_GE(Count(banner, 'Z'), 6u) << banner;
  EXPECT_EQ(d.Baud(), 115200u);

  Send(d, 1500, " ");
  const std::string menu = Out(d, 1500);
  EXPECT_GE(Count(menu, '='), 4u) << menu;
  // The menu stays past the boot window and is drawn again for each space.
  Send(d, 5000, " ");
  EXPECT_EQ(Out(d, 5000), menu);

  Send(d, 5100, "0");
  const std::string questions = Out(d, 5100);
  size_t lines = 0;
  for (size_t pos = 0; pos < questions.size(); ++lines) {
    EXPECT_EQ(questions[pos], 'E') << questions;
    pos = questions.find("\r\n", pos) + 2;
  }
  EXPECT_EQ(Count(questions, 'E'), lines);  // one 'E' per question, so one 'y' each
  EXPECT_EQ(lines, 3u);

  // 'n' keeps an area, other bytes are no answer; the record follows the 'y's.
  Send(d, 5200, "y");
  Send(d, 5200, "x");
  Send(d, 5200, "n");
  EXPECT_EQ(d.Erased(), std::vector<std::string>{"firmware"});
  Send(d, 5200, "y");
  EXPECT_EQ(d.Erased(), (std::vector<std::string>{"firmware", "calibration"}));
  Out(d, 5300);
  EXPECT_EQ(d.ModeName(), "boot kernel only (no firmware)");
}

TEST(BootMenuTest, WithoutASpaceTheFirmwareStartsAfterTheWindow) {
  Kx420Device d(WithBootCode(BootMenuKind::kMenu));
  ResetByTheLine(d, 1000);
  Send(d, 1500, "x");  // not a space: no menu
  EXPECT_EQ(Out(d, 1500), "");
  EXPECT_EQ(d.IdleFor(2500), 500u);
  Out(d, 3000);
  EXPECT_EQ(d.Baud(), 9600u);
  // The line stays at 115200: that is no new reset.
  Out(d, 5000);
  EXPECT_EQ(d.Resets(), 1);
  Send(d, 5100, Probe(), k9600);
  EXPECT_TRUE(StartsWith(Out(d, 5100, k9600), "$PQRV100,"));
  EXPECT_EQ(d.Erased(), std::vector<std::string>{});
  ResetByTheLine(d, 6000);
  EXPECT_EQ(d.Resets(), 2);
}

TEST(BootMenuTest, ModulesThatNeverShowTheMenu) {
  struct Case {
    BootMenuKind kind;
    bool banner;
  };
  for (const Case& c :
       {Case{BootMenuKind::kBannerOnly, true}, Case{BootMenuKind::kSilent, false}}) {
    SCOPED_TRACE(c.banner);
    Kx420Device d(WithBootCode(c.kind));
    const std::string banner = ResetByTheLine(d, 1000);
    EXPECT_EQ(Count(banner, 'Z') >= 6, c.banner) << banner;
    if (!c.banner) {
      EXPECT_EQ(banner, "");
    }
    EXPECT_EQ(d.Resets(), 1);
    std::string after;
    for (uint32_t t = 1100; t < 2900; t += 100) {
      Send(d, t, " ");
      after += Out(d, t);
    }
    EXPECT_EQ(after, "");
    Out(d, 3100);
    EXPECT_EQ(d.Baud(), 9600u);

    Kx420Device played(WithBootCode(c.kind));
    EXPECT_EQ(PlayTheEraser(played, 1000), -1);
    EXPECT_EQ(played.Erased(), std::vector<std::string>{});
  }
}

TEST(BootMenuTest, OffMeansNoResetAndTheKernelEntryAsBefore) {
  ModuleOptions o = WithBootCode(BootMenuKind::kOff);
  o.boot.reset_every_ms = 1000;
  Kx420Device d(o);
  EXPECT_EQ(ResetByTheLine(d, 1000), "");
  Out(d, 5000);
  EXPECT_EQ(d.Resets(), 0);
  Send(d, 5100, KernelEntry());
  EXPECT_EQ(Out(d, 5100), "\x15");
}

TEST(BootMenuTest, KernelEntryStillWorksInTheBootWindow) {
  Kx420Device d(WithBootCode(BootMenuKind::kMenu));
  ResetByTheLine(d, 1000);
  Send(d, 1200, KernelEntry());
  EXPECT_EQ(Out(d, 1200), "\x15");
  EXPECT_EQ(d.KernelEntries(), 1);
}

TEST(BootMenuTest, PeriodicResetsWhileTheFirmwareRuns) {
  ModuleOptions o = WithBootCode(BootMenuKind::kBannerOnly);
  o.boot.reset_every_ms = 5000;
  Kx420Device d(o);
  // The program stays at 115200 throughout, as the eraser leaves it.
  Out(d, 0, k9600);
  Out(d, 10);
  EXPECT_EQ(d.Resets(), 1);  // the line moved to 115200
  Out(d, 2010);              // window over: the firmware runs
  EXPECT_EQ(d.Baud(), 9600u);
  EXPECT_EQ(Out(d, 7009), "");
  EXPECT_GE(Count(Out(d, 7010), 'Z'), 6u);
  EXPECT_EQ(d.Resets(), 2);
  EXPECT_LE(d.IdleFor(7020), 2000u);
}

TEST(BootMenuTest, ResetEndsTheCn0TestAndDropsPendingAnswers) {
  ModuleOptions o = WithBootCode(BootMenuKind::kSilent);
  o.reply_delay_ms = 500;
  Kx420Device d(o);
  Out(d, 0, k9600);
  Send(d, 100, Sentence("PQRV02,5C"), k9600);
  EXPECT_EQ(d.TestStarts(), 1);
  Out(d, 200);  // reset before the answer was due
  Out(d, 2300);
  EXPECT_EQ(Out(d, 2400, k9600) + Out(d, 5000, k9600), "");  // no answer, no GSV every second
}

}  // namespace
}  // namespace flashpost::sim
