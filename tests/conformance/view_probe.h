// What the view suites ask of a desktop front end: show, read back widgets, act as the operator.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "platform/clock.h"
#include "support/fake_serial.h"
#include "ui/control.h"
#include "ui/headless_loop.h"
#include "ui/timer.h"

namespace flashpost::conformance {

// Where a control's widget lies: in its parent's client area, whose size is parent_area's.
struct Layout {
  bool shown = false;
  const void* parent = nullptr;
  ui::Rect place, parent_area;
  bool text_clipped = false;  // its caption does not fit in it
  ui::Rect caption;           // a group box's caption, in the group's own coordinates
};

class ViewProbe {
 public:
  virtual ~ViewProbe() = default;
  virtual void Show(ui::Form& form, bool show_hidden_tabs) = 0;  // in a 500 x 600 host
  virtual app::Application& Open(platform::Clock& clock, platform::SerialSystem& serial,
                                 bool all_pages) = 0;
  virtual ui::MainLoop& Loop() = 0;
  virtual bool Close() = 0;  // the close box; true when the window no longer shows
  virtual void Drop() = 0;   // the view and its session go
  virtual void ResizeHost(int width, int height) = 0;

  virtual bool Exists(const ui::Control& c) = 0;
  virtual bool Shown(const ui::Control& c) = 0;
  virtual bool Enabled(const ui::Control& c) = 0;
  virtual std::string Text(const ui::Control& c) = 0;
  virtual ui::Color TextColor(const ui::Control& c) = 0;
  virtual bool Checked(const ui::Control& c) = 0;
  virtual std::vector<std::string> Items(const ui::ComboBox& c) = 0;
  virtual std::vector<bool> Ticks(const ui::CheckListBox& c) = 0;
  virtual int Position(const ui::ProgressBar& c, bool maximum = false) = 0;
  virtual std::string PanelText(const ui::StatusBar& c, int panel) = 0;
  virtual std::vector<std::string> Tabs(const ui::PageControl& c) = 0;  // the tabs shown
  virtual Layout Measure(const ui::Control& c) = 0;

  virtual void Click(const ui::Control& c) = 0;
  virtual void Type(const ui::Control& c, const std::string& keys) = 0;
  virtual void Pick(const ui::ComboBox& c, int index) = 0;
  virtual void Tick(const ui::CheckListBox& c, int index, bool ticked) = 0;
  virtual void ClickTab(const ui::PageControl& c, int tab) = 0;

  // The open dialogs' asker answers `answer` (empty: cancelled) and notes the preset.
  std::string answer, asked_preset;
  int asks = 0;
};

// A page class the view knows nothing of.
class ExtraPage : public ui::TabSheet {
 public:
  explicit ExtraPage(ui::PageControl& pages) : ui::TabSheet("ExtraPage", &pages) {
    SetCaption("Extra");
    Go.SetGeometry({10, 20, 80, 25});
    Go.OnClick = [this] { ++clicks; };
  }
  ui::Button Go{"GoButton", this};
  int clicks = 0;
};

// One control of every kind. Only what is clicked needs room.
struct TestForm : ui::Form {
  TestForm() : ui::Form("TestForm") {
    ComboBox1.SetItems({"A", "B", "C"});
    GroupBox1.SetGeometry({8, 210, 200, 100});
    CheckBox1.SetGeometry({8, 16, 150, 17});
    RadioButton1.SetGeometry({8, 36, 150, 17});
    RadioButton2.SetGeometry({8, 56, 150, 17});
    PageControl1.SetGeometry({0, 320, 400, 200});
    Sheet1.SetCaption("One");
    Sheet2.SetCaption("Two");
    StatusBar1.SetGeometry({0, 580, 500, 19});
    StatusBar1.AddPanel(186);
  }
  platform::ManualClock clock;
  ui::HeadlessLoop loop{clock};
  ui::Label Label1{"Label1", this};
  ui::Edit Edit1{"Edit1", this};
  ui::ComboBox ComboBox1{"ComboBox1", this};
  ui::CheckListBox CheckListBox1{"CheckListBox1", this};
  ui::Memo Memo1{"Memo1", this};
  ui::ProgressBar ProgressBar1{"ProgressBar1", this};
  ui::GroupBox GroupBox1{"GroupBox1", this};
  ui::CheckBox CheckBox1{"CheckBox1", &GroupBox1};
  ui::RadioButton RadioButton1{"RadioButton1", &GroupBox1};
  ui::RadioButton RadioButton2{"RadioButton2", &GroupBox1};
  ui::GroupBox Outer{"Outer", this};
  ui::GroupBox Inner{"Inner", &Outer};
  ui::RadioButton RadioButton3{"RadioButton3", &Inner};
  ui::PageControl PageControl1{"PageControl1", this};
  ui::TabSheet Sheet1{"Sheet1", &PageControl1};
  ui::TabSheet Sheet2{"Sheet2", &PageControl1};
  ui::Label Label2{"Label2", &Sheet2};
  ExtraPage Extra{PageControl1};
  ui::StatusBar StatusBar1{"StatusBar1", this};
  ui::OpenDialog OpenDialog1{"OpenDialog1", this};
  ui::Timer Timer1{"Timer1", this, loop};
};

// The test form, or a whole window on its own clock and ports.
class ViewSuite : public ::testing::TestWithParam<std::unique_ptr<ViewProbe> (*)()> {
 protected:
  void TearDown() override { probe_->Drop(); }  // before the session's clock and ports go
  platform::ScaledClock clock_{20.0};
  testing::FakeSerialSystem serial_{{"COM3", "COM4"}};
  TestForm form;
  std::unique_ptr<ViewProbe> probe_ = GetParam()();  // goes before the form it shows
};

}  // namespace flashpost::conformance
