#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "cno/cno_page.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"

namespace flashpost::testing {

// The page on a headless loop with ten fake ports COM1..COM10 in its list, a clock moved by the
// test, and the form's services recorded. The workers are not started: the test writes what a
// module's worker would write straight into the board.
class CnoPageTest : public ::testing::Test {
 protected:
  CnoPageTest() { serial::ScanPorts(board_, {&page_.CheckListBox1}); }
  ~CnoPageTest() override {
    loop_.Shutdown();
    board_.StopAllThreads();
  }

  // Slot k's list entry is COM(k+1).
  void Check(std::initializer_list<int> entries) {
    for (int entry : entries) page_.CheckListBox1.SetChecked(entry, true);
  }
  // The reference receiver open on the terminal page, in NMEA.
  void OpenReference() {
    board_.OpenPortName[app::kTerminalSlot].Set("COM10");
    board_.ReadEnabled[app::kTerminalSlot].store(1);
    board_.ProtocolMode[app::kTerminalSlot].store(0);
  }
  // A complete GSV group as a slot's reader leaves it: satellite number and C/N0 pairs; its
  // sentences count as the module's NMEA.
  void Gsv(int slot, std::vector<std::pair<int, int>> satellites) {
    board_.SentencesSeen[slot].fetch_add(1);
    for (int i = 0; i < app::PortBoard::kGsvSatellites; ++i) {
      const bool given = i < static_cast<int>(satellites.size());
      board_.SatPrn[slot][i].store(given ? satellites[i].first : 0);
      board_.SatSnr[slot][i].store(given ? satellites[i].second : 0);
    }
    board_.GsvComplete[slot].store(1);
  }
  std::vector<std::string> Written(const std::string& port) {
    std::vector<std::string> bytes;
    for (auto& write : fake_.Log(port)->Writes()) bytes.push_back(write.bytes);
    return bytes;
  }
  void ExpectControlsGivenBack() {
    EXPECT_TRUE(page_.Button9.Enabled());
    for (ui::Edit* edit : {&page_.Edit6, &page_.Edit7, &page_.Edit8, &page_.Edit9}) {
      EXPECT_FALSE(edit->ReadOnly()) << edit->Name();
    }
    for (ui::Control* c :
         std::initializer_list<ui::Control*>{&page_.CheckBox1, &page_.CheckBox2, &page_.ComboBox5,
                                             &page_.RadioButton6, &page_.RadioButton7}) {
      EXPECT_TRUE(c->Enabled()) << c->Name();
    }
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
  std::vector<int> started_;
  std::vector<int> stopped_;
  int scans_ = 0;
  cno::CnoPage page_{pages_,
                     {board_, loop_, timer2_, status_bar_, auto_calibration_,
                      [this](int slot) { started_.push_back(slot); },
                      [this](int slot) {
                        stopped_.push_back(slot);
                        serial::CloseIfOpen(board_, slot);
                      },
                      [this] { ++scans_; }}};

  void SetUp() override {
    status_bar_.AddPanel(186);
    status_bar_.AddPanel(200);
  }
};

}  // namespace flashpost::testing
