#include <gtest/gtest.h>

#include <string>

#include "board/colors.h"
#include "cno_fixture.h"
#include "protocol/nmea.h"

namespace flashpost::testing {
namespace {

class CnoJudgingTest : public CnoPageTest {
 protected:
  // A C/N0 run on COM1 and COM2 (slots 0 and 1) against the reference.
  void StartCno() {
    page_.RadioButton6.Click();
    OpenReference();
    Check({0, 1});
    page_.Button9.Click();
  }
  void StartCustomerId(const char* id) {
    page_.RadioButton7.Click();
    page_.Edit9.SetText(id);
    Check({0});
    page_.Button9.Click();
  }
  void Reply(int slot, const char* id) {
    board_.CustomerIdReply[slot].Set(id);
    board_.CustomerIdReplySeen[slot].store(1);
    board_.Reply200Seen[slot].store(1);
  }
};

TEST_F(CnoJudgingTest, ModulesAreJudgedAtTheTimeOutAgainstTheReferencesStrongestSatellite) {
  StartCno();
  Gsv(app::kTerminalSlot, {{3, 38}, {14, 42}, {22, 40}});
  Gsv(0, {{8, 30}, {17, 42}});
  Gsv(1, {{9, 41}, {11, 12}});
  loop_.RunFor(19500);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "Testing C/No");
  EXPECT_EQ(page_.CnoLabel(0).Caption(), "42dBHz");
  EXPECT_EQ(page_.SlotProgressBar(1).Position(), 41);
  EXPECT_TRUE(stopped_.empty());
  EXPECT_FALSE(page_.Button9.Enabled());

  loop_.RunFor(500);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "SV 17 : Pass!");
  EXPECT_EQ(page_.StatusLabel(0).FontColor(), app::kGreen);
  EXPECT_EQ(page_.CnoLabel(0).FontColor(), app::kGreen);
  EXPECT_EQ(page_.StatusLabel(1).Caption(), "SV 9 : Fail!");
  EXPECT_EQ(page_.CnoLabel(1).FontColor(), app::kRed);
  EXPECT_EQ(stopped_, (std::vector<int>{0, 1}));
  EXPECT_EQ(fake_.Log("COM1")->closes, 1);
  ExpectControlsGivenBack();

  // A verdict, once shown, stands: a weaker reference later does not turn it.
  Gsv(app::kTerminalSlot, {{14, 41}});
  loop_.RunFor(1000);
  EXPECT_EQ(page_.StatusLabel(1).Caption(), "SV 9 : Fail!");
  EXPECT_EQ(stopped_.size(), 2u);
}

TEST_F(CnoJudgingTest, WithoutEvidenceNoModulePasses) {
  // A reference left over from the last run counts for nothing in this one.
  Gsv(app::kTerminalSlot, {{3, 30}});
  StartCno();
  Gsv(0, {{8, 44}});
  loop_.RunFor(20000);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), cno::CnoPage::kNoReferenceText);
  EXPECT_EQ(page_.StatusLabel(0).FontColor(), app::kRed);
  EXPECT_EQ(page_.StatusLabel(1).Caption(), cno::CnoPage::kNoReferenceText);
  page_.Button10Click();

  // A module from which nothing came is not a weak module.
  StartCno();
  Gsv(app::kTerminalSlot, {{3, 30}});
  Gsv(1, {{9, 41}});
  loop_.RunFor(20000);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), cno::CnoPage::kNoNmeaText);
  EXPECT_EQ(page_.StatusLabel(1).Caption(), "SV 9 : Pass!");
}

TEST_F(CnoJudgingTest, KeyedInLimitAndBias) {
  page_.Edit8.SetText("2");
  page_.CheckBox1.Click();  // Refer Key-in: 40 and 0 again
  EXPECT_EQ(page_.CheckBox1.Caption(), "Refer Key-in");
  EXPECT_EQ(page_.Edit7.Text(), "40");
  EXPECT_EQ(page_.Edit8.Text(), "0");
  struct Row {
    const char* bias;
    bool add_bias;
    int strongest;
    const char* verdict;
  };
  for (const Row& row : {Row{"0", true, 40, "SV 6 : Pass!"}, Row{"0", true, 39, "SV 6 : Fail!"},
                         Row{"2", true, 38, "SV 6 : Pass!"}, Row{"2", true, 37, "SV 6 : Fail!"},
                         Row{"2", false, 38, "SV 6 : Fail!"}}) {
    page_.Edit8.SetText(row.bias);
    page_.CheckBox2.SetChecked(row.add_bias);
    StartCno();
    Gsv(0, {{6, row.strongest}});
    loop_.RunFor(20000);
    EXPECT_EQ(board_.TestStatusText[0].Get(), row.verdict) << row.bias << " " << row.strongest;
    page_.Button10Click();
  }
}

TEST_F(CnoJudgingTest, ASatelliteAbove32IsNamedByItsStoredNumber) {
  StartCno();
  Gsv(app::kTerminalSlot, {{1, 40}});
  protocol::HandleSlotSentence(board_, "$GPGSV,1,1,02,33,45,180,44,07,30,090,41*7B\r", 0);
  loop_.RunFor(20000);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "SV 120 : Pass!");
}

TEST_F(CnoJudgingTest, AModuleWithoutAnySatelliteNeverPasses) {
  page_.CheckBox1.Click();
  page_.Edit7.SetText("0");
  StartCno();
  board_.SentencesSeen[0].store(1);  // it talks, but tracks nothing
  loop_.RunFor(20000);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "SV 0 : Fail!");
}

TEST_F(CnoJudgingTest, AGroupLeftOverFromTheLastRunIsNotTaken) {
  Gsv(0, {{4, 50}});  // completed after the last run's final tick
  StartCno();
  Gsv(app::kTerminalSlot, {{1, 30}});
  board_.SentencesSeen[0].store(1);
  loop_.RunFor(20000);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "SV 0 : Fail!");
}

TEST_F(CnoJudgingTest, SatellitesAreOrderedByFallingCnoTheFirstListedOfEqualOnesInFront) {
  Gsv(2, {{1, 30}, {2, 45}, {3, 0}, {4, 45}, {5, 12}, {6, 46}, {7, 46}});
  page_.SortSatellites(2);
  EXPECT_EQ(page_.SortedSatPrn[2][0], 6);
  EXPECT_EQ(page_.SortedSatSnr[2][0], 46);
  Gsv(2, {{1, 10}, {2, 20}, {3, 35}, {4, 33}, {5, 5}});
  page_.SortSatellites(2);
  EXPECT_EQ(page_.SortedSatSnr[2], (std::array<int32_t, 12>{35, 33, 20, 10, 5}));
  EXPECT_EQ(page_.SortedSatPrn[2], (std::array<int32_t, 12>{3, 4, 2, 1, 5}));
}

TEST_F(CnoJudgingTest, CustomerIdPassesOnTheModulesConfirmation) {
  StartCustomerId("ABC");
  loop_.RunFor(500);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "Setting CustomerID");
  Reply(0, "ABC");
  loop_.RunFor(500);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "ABC - Pass!");
  EXPECT_EQ(page_.StatusLabel(0).FontColor(), app::kGreen);
  EXPECT_EQ(stopped_, (std::vector<int>{0}));
  ExpectControlsGivenBack();
  // No C/N0 shown in this test.
  EXPECT_EQ(page_.CnoLabel(0).Caption(), " ");
  EXPECT_EQ(page_.SlotProgressBar(0).Position(), 0);
}

TEST_F(CnoJudgingTest, AModuleReportingAnotherIdFails) {
  StartCustomerId("ABC");
  Reply(0, "ABD");
  loop_.RunFor(500);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "ABD - Fail!");
  EXPECT_EQ(page_.StatusLabel(0).FontColor(), app::kRed);
  EXPECT_EQ(stopped_, (std::vector<int>{0}));
}

TEST_F(CnoJudgingTest, CustomerIdTimesOutWithItsWorkerLeftRunningAndALateReplyStillPasses) {
  StartCustomerId("ABC");
  Gsv(0, {{3, 44}});
  loop_.RunFor(10000);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "Time out : 10S");
  EXPECT_EQ(page_.StatusLabel(0).FontColor(), app::kRed);
  EXPECT_TRUE(stopped_.empty());
  EXPECT_EQ(board_.ReadEnabled[0].load(), 1);
  ExpectControlsGivenBack();
  EXPECT_EQ(page_.CnoLabel(0).Caption(), " ");

  Reply(0, "ABC");
  loop_.RunFor(500);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "ABC - Pass!");
  EXPECT_EQ(page_.StatusLabel(0).FontColor(), app::kGreen);
  loop_.RunFor(500);
  EXPECT_EQ(page_.StatusLabel(0).Caption(), "ABC - Pass!");
  EXPECT_EQ(stopped_, (std::vector<int>{0})) << "judged once";
}

}  // namespace
}  // namespace flashpost::testing
