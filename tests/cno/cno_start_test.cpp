#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "board/colors.h"
#include "cno/entry_checks.h"
#include "cno_fixture.h"

namespace flashpost::testing {
namespace {

// Each row starts from a Start that would run and puts in its own fault and the next row's: the
// earlier check must be the one reported, and nothing may be opened or timed.
TEST_F(CnoPageTest, StartChecksComeInOrderAndEachRefusalGivesTheControlsBack) {
  auto conflict = [this] { Check({9}); };  // COM10, the reference's port
  auto vbi = [this] { board_.ProtocolMode[app::kTerminalSlot].store(1); };
  auto closed = [this] { board_.ReadEnabled[app::kTerminalSlot].store(0); };
  auto nine = [this] { Check({0, 1, 3, 4, 5, 6, 7, 8}); };
  auto none = [this] { page_.CheckListBox1.SetChecked(2, false); };
  auto timeout = [this] { page_.Edit6.SetText("20 s"); };
  auto negative = [this] { page_.Edit6.SetText("-1"); };
  auto limit = [this] { page_.Edit7.SetText(""); };
  auto bias = [this] { page_.Edit8.SetText("2.5"); };
  auto baud = [this] { page_.ComboBox5.SetText("fast"); };
  using Fault = std::function<void()>;
  struct Row {
    const char* text;
    std::vector<Fault> faults;
  };
  const std::vector<Row> rows = {
      {"Please re-select Com Port", {conflict, vbi}},
      {"Please make sure Ref. GPS on NMEA mode!", {vbi, closed}},
      {"Please Opene Ref. GPS!", {closed, nine}},
      {" Error !( Com Port can't over 8 ports)", {nine, timeout}},
      {" No Com Port Selected !", {none, timeout}},
      {"Timeout must be a whole number of ms!(NG)", {timeout, limit}},
      {"Timeout must be a whole number of ms!(NG)", {negative}},
      {"C/No must be a whole number!(NG)", {limit, bias}},
      {"C/No Bias must be a whole number!(NG)", {bias, baud}},
      {"Baud Rate must be a number such as 9600!(NG)", {baud}},
  };
  page_.RadioButton6.Click();
  for (const Row& row : rows) {
    OpenReference();
    for (int i = 0; i < 10; ++i) page_.CheckListBox1.SetChecked(i, i == 2);
    page_.Edit6.SetText("20000");
    page_.Edit7.SetText("40");
    page_.Edit8.SetText("0");
    page_.ComboBox5.SetText("9600");
    for (const Fault& fault : row.faults) fault();

    timer2_.SetTimerEnabled(true);  // a run going on is ended by a refused Start too
    page_.Button9.Click();
    EXPECT_EQ(page_.Label55.Caption(), row.text);
    EXPECT_EQ(page_.Label55.FontColor(), app::kRed);
    EXPECT_FALSE(timer2_.TimerEnabled());
    ExpectControlsGivenBack();
  }
  for (int port = 1; port <= 10; ++port) {
    EXPECT_EQ(fake_.Log("COM" + std::to_string(port))->opens, 0);
  }
  EXPECT_TRUE(started_.empty());
}

TEST_F(CnoPageTest, NinePortsAreCountedButOnlyEightAreStoredAndShown) {
  page_.RadioButton6.Click();
  OpenReference();
  Check({0, 1, 2, 3, 4, 5, 6, 7, 8});
  page_.Button9.Click();
  EXPECT_EQ(page_.Label55.Caption(), " Error !( Com Port can't over 8 ports)");
  EXPECT_EQ(board_.SelectedPortCount.load(), 9);
  for (int slot = 0; slot < 8; ++slot) {
    EXPECT_EQ(page_.SlotBox(slot).Caption(), "COM" + std::to_string(slot + 1));
  }
  EXPECT_EQ(status_bar_.PanelAt(1).text, "Selected Com Port : COM1COM2COM3COM4COM5COM6COM7COM8");
}

TEST_F(CnoPageTest, CnoStartOpensTheCheckedPortsAtThePagesBaudAndSendsTheTestStart) {
  page_.RadioButton6.Click();
  OpenReference();
  page_.ComboBox5.SetText("38400");
  Check({2, 4});
  page_.Button9.Click();

  EXPECT_EQ(page_.SlotBox(0).Caption(), "COM3");
  EXPECT_EQ(page_.SlotBox(1).Caption(), "COM5");
  for (int slot = 2; slot < 8; ++slot) EXPECT_EQ(page_.SlotBox(slot).Caption(), " ");
  EXPECT_EQ(status_bar_.PanelAt(1).text, "Selected Com Port : COM3COM5");
  EXPECT_EQ(started_, (std::vector<int>{0, 1}));
  EXPECT_TRUE(timer2_.TimerEnabled());
  EXPECT_FALSE(page_.Button9.Enabled());
  EXPECT_TRUE(page_.Edit6.ReadOnly());
  EXPECT_FALSE(page_.RadioButton7.Enabled());
  for (const char* port : {"COM3", "COM5"}) {
    EXPECT_EQ(fake_.Log(port)->baud, 38400u);
    EXPECT_EQ(Written(port), (std::vector<std::string>{"$PQRV02,5C*5D\r\n"}));
  }
  EXPECT_EQ(board_.StartTick[0].load(), clock_.Ticks());
  EXPECT_EQ(fake_.Log("COM4")->opens, 0);
  loop_.RunFor(500);
  EXPECT_EQ(page_.Label55.Caption(), "Testing C/No now....");
  EXPECT_EQ(page_.Label55.FontColor(), app::kNavy);
}

TEST_F(CnoPageTest, CustomerIdStartSkipsTheReferenceChecksAndSendsTheIdCutTo32) {
  page_.RadioButton7.Click();  // the reference is closed: not needed for this test
  Check({0, 1});
  page_.Edit9.SetText("ABC");
  page_.Button9.Click();
  EXPECT_EQ(board_.TestMessageText.Get(), "Setting Customer ID now....");
  EXPECT_EQ(Written("COM1"), (std::vector<std::string>{"$PQRV29,ABC*62\r\n"}));
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "Setting Customer ID ");
  EXPECT_EQ(page_.CnoLabel(0).Caption(), " ");

  page_.Button10Click();
  page_.Edit9.SetText(std::string(40, 'K'));
  EXPECT_EQ(page_.Edit9.Text().size(), 32u);
  page_.Button9.Click();
  ASSERT_EQ(Written("COM2").size(), 2u);
  EXPECT_EQ(Written("COM2")[1].size(), 13u + 32u);
}

TEST_F(CnoPageTest, ACustomerIdThatWouldBreakTheSentenceIsRefusedBeforeAnyPortOpens) {
  Check({0});
  for (const std::string& id : std::vector<std::string>{
           "A$B", "A*B", std::string("A\rB"), std::string("caf\xC3\xA9"), std::string(1, '\x7F')}) {
    page_.RadioButton7.Click();
    page_.Edit9.SetText(id);
    page_.Button9.Click();
    EXPECT_EQ(page_.Label55.Caption(),
              "Customer ID must be printable characters without $ or *!(NG)");
    EXPECT_EQ(page_.Label55.FontColor(), app::kRed);
    ExpectControlsGivenBack();
    EXPECT_EQ(fake_.Log("COM1")->opens, 0) << id;
    // Not sent in a C/N0 test, so not in the way of one.
    page_.RadioButton6.Click();
    OpenReference();
    page_.Button9.Click();
    EXPECT_TRUE(timer2_.TimerEnabled());
    EXPECT_EQ(fake_.Log("COM1")->opens, 1);
    page_.Button10Click();
    fake_.Log("COM1")->opens = 0;
    fake_.Log("COM1")->closes = 0;
  }
}

TEST_F(CnoPageTest, APortThatDoesNotOpenFailsAloneAndIsNotJudged) {
  page_.RadioButton6.Click();
  OpenReference();
  page_.CheckListBox1.AddItem("COM99");  // listed, but not on the machine
  board_.PortsFound.store(11);
  Check({10, 0});
  page_.Button9.Click();
  EXPECT_EQ(board_.TestStatusText[1].Get(), "Open Com Port Failed!");
  EXPECT_EQ(board_.TestStatusColor[1].load(), app::kRed);
  EXPECT_EQ(started_, (std::vector<int>{0}));
  EXPECT_EQ(Written("COM1").size(), 1u);

  Gsv(app::kTerminalSlot, {{1, 40}});
  loop_.RunFor(25000);
  EXPECT_EQ(page_.StatusLabel(1).Caption(), "Open Com Port Failed!");
  EXPECT_EQ(page_.StatusLabel(0).Caption(), cno::CnoPage::kNoNmeaText);
}

TEST_F(CnoPageTest, BeforeAnyTestOptionIsClickedStartSendsNothingButStillJudgesCno) {
  Check({0});
  page_.Button9.Click();  // the reference is not open: no check asks for it
  EXPECT_EQ(started_, (std::vector<int>{0}));
  EXPECT_TRUE(Written("COM1").empty());
  EXPECT_EQ(board_.TestMessageText.Get(), " ");
  Gsv(0, {{5, 44}});
  loop_.RunFor(20000);
  // "Refer GPS" is checked, but no reference has reported: no limit to pass.
  EXPECT_EQ(board_.TestStatusText[0].Get(), cno::CnoPage::kNoReferenceText);
}

TEST_F(CnoPageTest, AnEarlierWorkerOfTheSlotEndsBeforeTheNewOneStarts) {
  // Waits on the main thread at every pass, as slot 0's worker does to show its traffic.
  class ShowingWorker : public ui::Thread {
   public:
    using ui::Thread::Thread;

   protected:
    void Execute() override {
      while (!Terminated()) Synchronize([] {});
    }
  };
  auto earlier = ui::StartThread<ShowingWorker>(loop_);
  board_.Worker[0].Set(earlier);
  page_.RadioButton7.Click();
  Check({0});
  page_.Button9.Click();
  EXPECT_TRUE(earlier->Finished());
  EXPECT_EQ(started_, (std::vector<int>{0}));
}

TEST(EntryChecks, WholeNumbersAndSendableIds) {
  EXPECT_EQ(cno::ParseWholeNumber("20000"), 20000);
  EXPECT_EQ(cno::ParseWholeNumber("-3"), -3);
  for (const char* bad : {"", " 40", "40 ", "+4", "4e1", "-", "2147483648", "0x10"}) {
    EXPECT_FALSE(cno::ParseWholeNumber(bad)) << bad;
  }
  EXPECT_TRUE(cno::IsSendableCustomerId(""));
  EXPECT_TRUE(cno::IsSendableCustomerId("KX420 Lot#7 ~!"));
  EXPECT_FALSE(cno::IsSendableCustomerId(std::string("A\0B", 3)));
}

}  // namespace
}  // namespace flashpost::testing
