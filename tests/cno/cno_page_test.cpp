// The C/N0 page on ten fake ports COM1..COM10; no workers are started: the test writes what a
// module's worker would write straight into the board.
#include "cno/cno_page.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board/colors.h"
#include "cno/entry_checks.h"
#include "conformance/loop_suite.h"
#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LoopSuite);  // here for its FunctionThread only

namespace flashpost::testing {
namespace {

using namespace std::string_literals;
constexpr int kRef = app::kTerminalSlot;

class CnoPageTest : public ::testing::Test {
 protected:
  CnoPageTest() {
    serial::ScanPorts(board_, {&page_.CheckListBox1});
    board_.OpenPortName[kRef].Set("COM10");
    status_bar_.AddPanel(186);
    status_bar_.AddPanel(200);
  }
  ~CnoPageTest() override {
    loop_.Shutdown();
    board_.StopAllThreads();
  }

  void Check(std::initializer_list<int> entries) {
    for (int entry : entries) page_.CheckListBox1.SetChecked(entry, true);
  }
  // With the reference receiver open on the terminal page (COM10), in NMEA.
  void StartCno(std::initializer_list<int> entries = {0}) {
    page_.RadioButton6.Click();
    board_.ReadEnabled[kRef].store(1);
    board_.ProtocolMode[kRef].store(0);
    Check(entries);
    page_.Button9.Click();
  }
  void StartCustomerId(const char* id) {
    page_.RadioButton7.Click();
    page_.Edit9.SetText(id);
    Check({0});
    page_.Button9.Click();
  }
  void Reply(const std::string& id) {
    board_.CustomerIdReply[0].Set(id);
    board_.CustomerIdReplySeen[0].store(1);
    board_.Reply200Seen[0].store(1);
  }
  // A complete GSV group as a slot's reader leaves it, "number:C/N0" for each satellite.
  void Gsv(int slot, const std::string& satellites) {
    std::istringstream in(satellites);
    board_.SentencesSeen[slot].fetch_add(1);
    for (int i = 0; i < app::PortBoard::kGsvSatellites; ++i) {
      int prn = 0, snr = 0;
      char colon;
      in >> prn >> colon >> snr;
      board_.SatPrn[slot][i].store(in ? prn : 0);
      board_.SatSnr[slot][i].store(in ? snr : 0);
    }
    board_.GsvComplete[slot].store(1);
  }
  std::string Written(const std::string& port) { return fake_.Log(port)->Written(); }
  bool ControlsGivenBack() {
    return page_.Button9.Enabled() && !page_.Edit9.ReadOnly() && page_.CheckBox2.Enabled();
  }
  std::string Status(int slot) { return page_.StatusLabel(slot).Caption(); }
  // Runs until stopped; a showing one waits on the main thread at every pass, as slot 0's does.
  std::shared_ptr<conformance::FunctionThread> Worker(bool showing) {
    return ui::StartThread<conformance::FunctionThread>(loop_, [showing](auto& self) {
      while (!self.Terminated())
        showing ? void(self.Synchronize([] {})) : std::this_thread::yield();
    });
  }

  // Close to the 32-bit wrap, so that every time-out here is measured across it.
  platform::ManualClock clock_{0xFFFFFFFFu - 5000};
  ui::HeadlessLoop loop_{clock_};
  FakeSerialSystem fake_{
      {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10"}};
  app::PortBoard board_{clock_, fake_};
  ui::Form form_{"MainForm"};
  ui::Timer timer2_{"Timer2", &form_, loop_};
  ui::StatusBar status_bar_{"StatusBar1", &form_};
  ui::PageControl pages_{"PageControl1", &form_};
  ui::CheckBox auto_calibration_{"AutoCalibration", &form_};
  std::vector<int> started_, stopped_;
  cno::CnoPage page_{pages_,
                     {board_, loop_, timer2_, status_bar_, auto_calibration_,
                      [this](int slot) { started_.push_back(slot); },
                      [this](int slot) {
                        stopped_.push_back(slot);
                        serial::CloseIfOpen(board_, slot);
                      },
                      nullptr}};
};

TEST_F(CnoPageTest, TheTestOptionsSetTheJobsOfEverySlotAndTheirTexts) {
  board_.JobXtalCal[3].store(1);
  board_.JobFwAp[9].store(1);
  board_.ProtocolMode[2].store(1);
  board_.ProtocolMode[kRef].store(1);  // the reference in VBI stays in VBI
  board_.XtalAfterDownload.store(1);
  auto_calibration_.SetChecked(true);
  page_.RadioButton7.Click();
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    EXPECT_EQ(board_.JobCnoTest[slot].load(), 0);
    EXPECT_EQ(board_.JobCustomerId[slot].load(), 1);
  }
  EXPECT_EQ(board_.JobXtalCal[3].load() + board_.JobFwAp[9].load(), 0);
  EXPECT_EQ(board_.ProtocolMode[2].load(), 0);
  EXPECT_EQ(board_.ProtocolMode[kRef].load(), 1);
  EXPECT_FALSE(auto_calibration_.Checked());
  EXPECT_EQ(board_.XtalAfterDownload.load(), 0);
  page_.RadioButton6.Click();
  EXPECT_EQ(board_.JobCnoTest[9].load(), 1);
  EXPECT_EQ(board_.JobCustomerId[0].load(), 0);

  // Either reference box looks only at "Refer GPS": unchecked, it keys in 40 and 0 again.
  page_.Edit7.SetText("45");
  page_.CheckBox2.Click();
  EXPECT_EQ(page_.Edit7.Text(), "45");
  page_.CheckBox1.Click();
  EXPECT_EQ(page_.Edit7.Text(), "40");
}

// Each row starts from a Start that would run and puts in its own fault and the next row's: the
// earlier check must be the one reported, and nothing may be opened or timed.
TEST_F(CnoPageTest, StartChecksComeInOrderAndEachRefusalGivesTheControlsBack) {
  auto conflict = [this] { Check({9}); };  // COM10, the reference's port
  auto vbi = [this] { board_.ProtocolMode[kRef].store(1); };
  auto closed = [this] { board_.ReadEnabled[kRef].store(0); };
  auto nine = [this] { Check({0, 1, 3, 4, 5, 6, 7, 8}); };
  auto none = [this] { page_.CheckListBox1.SetChecked(2, false); };
  auto timeout = [this] { page_.Edit6.SetText("20 s"); };
  auto limit = [this] { page_.Edit7.SetText(""); };
  auto bias = [this] { page_.Edit8.SetText("2.5"); };
  auto baud = [this] { page_.ComboBox5.SetText("fast"); };
  // A customer ID that would break the sentence; the reference is not needed for that test.
  auto id = [this, closed](std::string text) {
    return [this, closed, text] {
      page_.RadioButton7.Click();
      closed();
      page_.Edit9.SetText(text);
    };
  };
  const char* kBadId = "Customer ID must be printable characters without $ or *!(NG)";
  const std::pair<const char*, std::vector<std::function<void()>>> rows[] = {
      {"Please re-select Com Port", {conflict, vbi}},
      {"Please make sure Ref. GPS on NMEA mode!", {vbi, closed}},
      {"Please Opene Ref. GPS!", {closed, nine}},
      {" Error !( Com Port can't over 8 ports)", {nine, timeout}},
      {" No Com Port Selected !", {none, timeout}},
      {"Timeout must be a whole number of ms!(NG)", {timeout, limit}},
      {"C/No must be a whole number!(NG)", {limit, bias}},
      {"C/No Bias must be a whole number!(NG)", {bias, baud}},
      {"Baud Rate must be a number such as 9600!(NG)", {baud}},
      {kBadId, {id("A$B")}},
      {kBadId, {id("A*B")}},
  };
  for (const auto& [text, faults] : rows) {
    SCOPED_TRACE(text);
    page_.RadioButton6.Click();
    board_.ReadEnabled[kRef].store(1);
    board_.ProtocolMode[kRef].store(0);
    for (int i = 0; i < 10; ++i) page_.CheckListBox1.SetChecked(i, i == 2);
    page_.Edit6.SetText("20000");
    page_.Edit7.SetText("40");
    page_.Edit8.SetText("0");
    page_.ComboBox5.SetText("9600");
    for (const auto& fault : faults) fault();
    timer2_.SetTimerEnabled(true);  // a run going on is ended by a refused Start too
    page_.Button9.Click();
    EXPECT_EQ(page_.Label55.Caption(), text);
    EXPECT_EQ(page_.Label55.FontColor(), app::kRed);
    EXPECT_FALSE(timer2_.TimerEnabled());
    EXPECT_TRUE(ControlsGivenBack());
  }
  EXPECT_EQ(fake_.Log("COM3")->opens, 0);
  EXPECT_TRUE(started_.empty());
}

TEST_F(CnoPageTest, StartOpensTheCheckedPortsAtThePagesBaudAndStopClosesThem) {
  page_.Edit9.SetText("A$B");  // not sent in a C/N0 test, so not in the way of one
  page_.ComboBox5.SetText("38400");
  StartCno({2, 4});
  EXPECT_EQ(status_bar_.PanelAt(1).text, "Selected Com Port : COM3COM5");
  EXPECT_EQ(started_, (std::vector<int>{0, 1}));
  EXPECT_FALSE(page_.Button9.Enabled());
  EXPECT_TRUE(page_.Edit6.ReadOnly());
  EXPECT_EQ(fake_.Log("COM5")->baud, 38400u);
  EXPECT_EQ(Written("COM3"), "$PQRV02,5C*5D\r\n");
  // Stop ends the timer, the workers and the ports.
  auto worker = Worker(false);
  board_.Worker[1].Set(worker);
  page_.Button10.Click();
  EXPECT_FALSE(timer2_.TimerEnabled());
  EXPECT_TRUE(ControlsGivenBack());
  EXPECT_TRUE(worker->Terminated());
  EXPECT_EQ(fake_.Log("COM5")->closes, 1);
  worker->WaitFor();

  // A customer ID run skips the reference checks and sends the ID, cut to 32.
  board_.ReadEnabled[kRef].store(0);
  StartCustomerId("ABC");
  EXPECT_EQ(Written("COM1"), "$PQRV29,ABC*62\r\n");
  page_.Button10Click();
  page_.Edit9.SetText(std::string(40, 'K'));
  page_.Button9.Click();
  EXPECT_EQ(Written("COM1").size(), 16u + 13u + 32u);
}

TEST_F(CnoPageTest, BeforeAnyTestOptionIsClickedStartSendsNothing) {
  auto earlier = Worker(true);
  board_.Worker[0].Set(earlier);
  Check({0});
  page_.Button9.Click();  // the reference is not open: no check asks for it
  EXPECT_TRUE(earlier->Finished()) << "the slot's earlier worker ends before the new one starts";
  EXPECT_EQ(started_, (std::vector<int>{0}));
  EXPECT_TRUE(Written("COM1").empty());
}

TEST(EntryChecks, WholeNumbersAndSendableIds) {
  EXPECT_EQ(cno::ParseWholeNumber("-3"), -3);
  for (const char* bad : {" 40", "40 ", "+4", "4e1", "-", "2147483648", "0x10"}) {
    EXPECT_FALSE(cno::ParseWholeNumber(bad)) << bad;
  }
  EXPECT_TRUE(cno::IsSendableCustomerId("KX420 Lot#7 ~!"));
  for (std::string bad : {"A\0B"s, "A\rB"s, "caf\xC3\xA9"s, "\x7F"s}) {
    EXPECT_FALSE(cno::IsSendableCustomerId(bad)) << bad;
  }
}

// One run of slot 0: the options, what the reference and the module report, the verdict shown.
TEST_F(CnoPageTest, Verdicts) {
  enum Case { kFresh, kStaleModule, kStaleReference, kTalksOnly, kAbove32, kCustomerId };
  struct Row {
    Case c;
    const char* limit;  // "Refer Key-in" with this limit; kGps: "Refer GPS"
    const char* bias;
    bool add_bias;
    std::string reference, module, status;
  };
  const char* kGps = nullptr;
  const Row rows[] = {
      // Against the reference's strongest satellite; the module is named by its strongest.
      {kFresh, kGps, "0", true, "3:38 14:42 22:40", "8:30 17:42", "SV 17 : Pass!"},
      // Ordered by falling C/N0, the first listed of equal ones in front.
      {kFresh, kGps, "0", true, "1:46", "1:30 2:45 6:46 7:46", "SV 6 : Pass!"},
      // A keyed-in limit, less the bias when it is added.
      {kFresh, "40", "0", true, "", "6:39", "SV 6 : Fail!"},
      {kFresh, "40", "2", true, "", "6:38", "SV 6 : Pass!"},
      {kFresh, "40", "2", false, "", "6:38", "SV 6 : Fail!"},
      // A module that tracks nothing never passes, not even a limit of 0.
      {kTalksOnly, "0", "0", true, "", "", "SV 0 : Fail!"},
      // A group left over from the last run is not taken, from the module or the reference.
      {kStaleModule, kGps, "0", true, "1:30", "4:50", "SV 0 : Fail!"},
      {kStaleReference, kGps, "0", true, "3:30", "8:44", cno::CnoPage::kNoReferenceText},
      // A module from which nothing came is not a weak module.
      {kFresh, kGps, "0", true, "3:30", "", cno::CnoPage::kNoNmeaText},
      // A satellite above 32 is named by its stored number.
      {kAbove32, kGps, "0", true, "1:40", "", "SV 120 : Pass!"},
      {kCustomerId, kGps, "0", true, "", "", "ABD - Fail!"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status + " " + (row.limit ? row.limit : "") + " " + row.bias);
    page_.CheckBox1.SetChecked(!row.limit);
    page_.Edit7.SetText(row.limit ? row.limit : "40");
    page_.Edit8.SetText(row.bias);
    page_.CheckBox2.SetChecked(row.add_bias);
    if (row.c == kStaleModule) Gsv(0, row.module);
    if (row.c == kStaleReference) Gsv(kRef, row.reference);
    row.c == kCustomerId ? StartCustomerId("ABC") : StartCno();
    if (!row.reference.empty() && row.c != kStaleReference) Gsv(kRef, row.reference);
    if (!row.module.empty() && row.c != kStaleModule) Gsv(0, row.module);
    if (row.c == kTalksOnly || row.c == kStaleModule) board_.SentencesSeen[0].store(1);
    if (row.c == kAbove32) {
      protocol::HandleSlotSentence(board_, "$GPGSV,1,1,02,33,45,180,44,07,30,090,41*7B\r", 0);
    }
    if (row.c == kCustomerId) {
      loop_.RunFor(500);
      EXPECT_EQ(Status(0), "Setting CustomerID");
      Reply(row.status.substr(0, 3));
    } else {
      loop_.RunFor(19500);
      EXPECT_TRUE(stopped_.empty()) << "judged at the time-out";
    }
    loop_.RunFor(500);
    EXPECT_EQ(Status(0), row.status);
    const bool pass = row.status.find("Pass") != std::string::npos;
    EXPECT_EQ(page_.StatusLabel(0).FontColor(), pass ? app::kGreen : app::kRed);
    EXPECT_EQ(stopped_, std::vector<int>{0});
    EXPECT_TRUE(ControlsGivenBack());
    page_.Button10Click();
    stopped_.clear();
  }
}

TEST_F(CnoPageTest, CustomerIdTimesOutWithItsWorkerLeftRunningAndALateReplyStillPasses) {
  StartCustomerId("ABC");
  Gsv(0, "3:44");
  loop_.RunFor(10000);
  EXPECT_EQ(Status(0), "Time out : 10S");
  EXPECT_TRUE(stopped_.empty());
  EXPECT_EQ(board_.ReadEnabled[0].load(), 1);
  EXPECT_TRUE(ControlsGivenBack());
  EXPECT_EQ(page_.CnoLabel(0).Caption(), " ") << "no C/N0 in this test";
  Reply("ABC");
  loop_.RunFor(1000);
  EXPECT_EQ(Status(0), "ABC - Pass!");
  EXPECT_EQ(stopped_, (std::vector<int>{0})) << "judged once";
}

}  // namespace
}  // namespace flashpost::testing
