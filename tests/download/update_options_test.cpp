#include "download/update_options.h"

#include <gtest/gtest.h>

#include "support/fake_serial.h"
#include "ui/headless_loop.h"

namespace flashpost::download {
namespace {

class UpdateOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { board_.ProtocolMode[app::kTerminalSlot] = 1; }
  static int CountSet(app::SlotTable<int32_t>& job) {
    int n = 0;
    for (auto& v : job) n += v.load();
    return n;
  }
  // Every module slot's framing; the terminal slot's stays as its page set it (1).
  bool AllModes(int mode) {
    for (int slot = 0; slot < app::kSlotCount; ++slot) {
      if (board_.ProtocolMode[slot].load() != (slot == app::kTerminalSlot ? 1 : mode)) return false;
    }
    return true;
  }
  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  testing::FakeSerialSystem fake_;
  app::PortBoard board_{clock_, fake_};
  DownloadServices services_{board_, loop_, {}, {}};
  ui::TabSheet page_{"McdPage", nullptr};
  ui::Edit edit25_{"Edit25", &page_};
  UpdateOptionsGroup group_{page_, board_, services_, edit25_};
};

TEST_F(UpdateOptionsTest, CalibrationThenFirmwareSwitchesModeAndWaitingTime) {
  group_.RadioButton4.Click();
  EXPECT_EQ(edit25_.Text(), "35000");
  EXPECT_TRUE(AllModes(1));
  EXPECT_EQ(CountSet(board_.JobXtalCal), app::kSlotCount);
  group_.RadioButton5.Click();
  EXPECT_EQ(edit25_.Text(), "10000");
  EXPECT_TRUE(AllModes(0));
  EXPECT_EQ(CountSet(board_.JobXtalCal), 0);
  EXPECT_EQ(CountSet(board_.JobFwAp), app::kSlotCount);
}

TEST_F(UpdateOptionsTest, AutoCalibrationSelectsAllImageForEverySlot) {
  group_.RadioButton1.Click();  // FSA first, so the change is visible
  group_.AutoCalibration.Click();
  EXPECT_TRUE(group_.RadioButton2.Checked());
  EXPECT_EQ(edit25_.Text(), "35000");
  EXPECT_EQ(CountSet(board_.JobAllImageNoCode), app::kSlotCount);
  EXPECT_EQ(CountSet(board_.JobFsa), 0);
  EXPECT_EQ(board_.XtalAfterDownload.load(), 1);
  EXPECT_TRUE(AllModes(1));
  group_.AutoCalibration.Click();  // unchecked: only the calibration goes
  EXPECT_EQ(board_.XtalAfterDownload.load(), 0);
  EXPECT_EQ(CountSet(board_.JobAllImageNoCode), app::kSlotCount);
  group_.AutoCalibration.Click();
  group_.RadioButton3.Click();  // a radio button takes the calibration back off
  EXPECT_FALSE(group_.AutoCalibration.Checked());
  EXPECT_EQ(board_.XtalAfterDownload.load(), 0);
  EXPECT_EQ(edit25_.Text(), "10000");
}

TEST_F(UpdateOptionsTest, BbChipOffersNoCalibrationAndPicksTheLoader) {
  group_.RadioButton4.Click();
  group_.BBChip.Click();
  EXPECT_TRUE(services_.bbchip_checked.load());
  EXPECT_FALSE(group_.RadioButton4.Enabled());
  EXPECT_FALSE(group_.AutoCalibration.Enabled());
  EXPECT_EQ(CountSet(board_.JobXtalCal), app::kSlotCount) << "state is left as it was";
  group_.BBChip.Click();
  EXPECT_FALSE(services_.bbchip_checked.load());
  EXPECT_TRUE(group_.RadioButton4.Enabled());
}

TEST_F(UpdateOptionsTest, OptionWordPacksTheThreeLists) {
  group_.BuildOptionWord();
  EXPECT_EQ(board_.OptionWord.load(), 2 | (2 << 4) | (2 << 7));
  EXPECT_EQ(board_.OutputProtocolIndex.load(), 2);
  group_.ComboBox3.SetText("115200");
  group_.ComboBox7.SetItemIndex(1);
  group_.ComboBox8.SetItemIndex(1);
  group_.BuildOptionWord();
  EXPECT_EQ(board_.OptionWord.load(), 8 | (1 << 4) | (1 << 7));
  EXPECT_EQ(board_.OutputProtocolIndex.load(), 1);
  EXPECT_EQ(board_.BaudIndexDigit.load(), '8');
}

}  // namespace
}  // namespace flashpost::download
