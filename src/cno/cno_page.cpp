#include "cno/cno_page.h"

#include "board/colors.h"

namespace flashpost::cno {

namespace {

constexpr const char* kCnoStatus = "Testing C/No";
constexpr const char* kCustomerIdStatus = "Setting Customer ID ";
// The bars show C/N0 in dB-Hz up to what a strong satellite reaches.
constexpr int kBarMaxDbHz = 55;
constexpr uint32_t kTimer2IntervalMs = 500;

}  // namespace

CnoPage::CnoPage(ui::PageControl& pages, Context context)
    : Sheet("CnoPage", &pages), context_(std::move(context)) {
  Sheet.SetCaption("C/N0");
  Sheet.SetTabVisible(false);
  Sheet.SetGeometry({0, 0, 593, 653});
  LayOut();
  LayOutSlotBoxes();
  WireHandlers();
  context_.timer2.SetInterval(kTimer2IntervalMs);
}

void CnoPage::LayOut() {
  GroupBox23.SetCaption("Com Port List");
  GroupBox23.SetGeometry({8, 346, 180, 250});
  CheckListBox1.SetGeometry({8, 18, 164, 190});
  Button8.SetCaption("Scan ComPort");
  Button8.SetGeometry({8, 214, 164, 25});

  Button9.SetCaption("Start");
  Button9.SetGeometry({8, 604, 88, 28});
  Button10.SetCaption("Stop");
  Button10.SetGeometry({100, 604, 88, 28});

  GroupBox33.SetCaption("Limitation Setting");
  GroupBox33.SetGeometry({196, 346, 200, 150});
  Label53.SetCaption("Timeout : ");
  Label53.SetGeometry({8, 22, 72, 16});
  Edit6.SetText("20000");
  Edit6.SetGeometry({84, 18, 104, 21});
  Label54.SetCaption("C/No : ");
  Label54.SetGeometry({8, 48, 72, 16});
  Edit7.SetText("40");
  Edit7.SetGeometry({84, 44, 104, 21});
  Label62.SetCaption("C/No Bias: ");
  Label62.SetGeometry({8, 74, 72, 16});
  Edit8.SetText("0");
  Edit8.SetGeometry({84, 70, 104, 21});
  CheckBox1.SetCaption("Refer GPS");
  CheckBox1.SetChecked(true);
  CheckBox1.SetGeometry({8, 100, 180, 18});
  CheckBox2.SetCaption("Add C/No Bias");
  CheckBox2.SetChecked(true);
  CheckBox2.SetGeometry({8, 124, 180, 18});

  GroupBox36.SetCaption("Baud Rate Setting");
  GroupBox36.SetGeometry({404, 346, 181, 52});
  Label56.SetCaption("Baud Rate :");
  Label56.SetGeometry({8, 22, 72, 16});
  ComboBox5.SetItems(
      {"2400", "4800", "9600", "14400", "19200", "28800", "38400", "57600", "115200"});
  ComboBox5.SetText("9600");
  ComboBox5.SetGeometry({84, 18, 89, 21});

  GroupBox37.SetCaption("Test Option");
  GroupBox37.SetGeometry({404, 404, 181, 92});
  RadioButton6.SetCaption("C/N0");
  RadioButton6.SetGeometry({8, 22, 160, 18});
  RadioButton7.SetCaption("Customer ID");
  RadioButton7.SetGeometry({8, 50, 160, 18});
  // Shown selected, but the job flags are only set by a click.
  RadioButton6.SetChecked(true);

  GroupBox38.SetCaption("Customer ID Setting");
  GroupBox38.SetGeometry({196, 504, 389, 48});
  // The limit before any text, so that every way of setting the text is cut to it.
  Edit9.SetMaxLength(kCustomerIdMaxLength);
  Edit9.SetGeometry({8, 18, 373, 21});

  GroupBox34.SetCaption("Message");
  GroupBox34.SetGeometry({196, 560, 389, 72});
  Label55.SetCaption("Please select Com Port !");
  Label55.SetFontColor(app::kNavy);
  Label55.SetGeometry({8, 20, 373, 40});
}

void CnoPage::LayOutSlotBoxes() {
  GroupBox24.SetCaption("C/N0 Status");
  GroupBox24.SetGeometry({8, 8, 577, 330});
  // Two columns of four boxes, slot 0 top left, slots in reading order.
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    const int left = 8 + (slot % 2) * 284;
    const int top = 18 + (slot / 2) * 77;
    SlotBox(slot).SetCaption("Com Port #");
    SlotBox(slot).SetGeometry({left, top, 277, 72});
    StatusLabel(slot).SetCaption(kCnoStatus);
    StatusLabel(slot).SetFontColor(app::kNavy);
    StatusLabel(slot).SetGeometry({8, 18, 190, 16});
    CnoLabel(slot).SetCaption("0dBHz");
    CnoLabel(slot).SetFontColor(app::kNavy);
    CnoLabel(slot).SetGeometry({204, 18, 65, 16});
    SlotProgressBar(slot).SetRange(0, kBarMaxDbHz);
    SlotProgressBar(slot).SetSmooth(true);
    SlotProgressBar(slot).SetGeometry({8, 42, 261, 18});
  }
}

void CnoPage::WireHandlers() {
  Button8.OnClick = [this] { Button8Click(); };
  Button9.OnClick = [this] { Button9Click(); };
  Button10.OnClick = [this] { Button10Click(); };
  RadioButton6.OnClick = [this] { RadioButton6Click(); };
  RadioButton7.OnClick = [this] { RadioButton7Click(); };
  CheckBox1.OnClick = [this] { CheckBox1Click(); };
  CheckBox2.OnClick = [this] { CheckBox1Click(); };
  context_.timer2.OnTimer = [this] { Timer2Timer(); };
}

void CnoPage::Button8Click() {
  if (context_.scan_ports) context_.scan_ports();
}

void CnoPage::SelectTestOption(bool cno_test, const char* cno_caption, const char* status_caption,
                               const char* timeout_ms) {
  app::PortBoard& board = context_.board;
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    for (auto* job : {&board.JobAllImageNoCode, &board.JobFsa, &board.JobFwAp,
                      &board.JobAllImageWithCode, &board.JobXtalCal}) {
      (*job)[slot].store(0);
    }
    board.JobCnoTest[slot].store(cno_test ? 1 : 0);
    board.JobCustomerId[slot].store(cno_test ? 0 : 1);
    // The terminal slot's mode is what the reference receiver really speaks, set by the
    // terminal page; overwriting it would let a receiver in VBI pass the NMEA check at Start.
    if (slot != app::kTerminalSlot) board.ProtocolMode[slot].store(0);
  }
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    CnoLabel(slot).SetCaption(cno_caption);
    StatusLabel(slot).SetCaption(status_caption);
  }
  context_.auto_calibration.SetChecked(false);
  board.XtalAfterDownload.store(0);
  Edit6.SetText(timeout_ms);
}

void CnoPage::RadioButton6Click() { SelectTestOption(true, "0dBHZ", kCnoStatus, "20000"); }

void CnoPage::RadioButton7Click() { SelectTestOption(false, " ", kCustomerIdStatus, "10000"); }

void CnoPage::CheckBox1Click() {
  if (CheckBox1.Checked()) {
    CheckBox1.SetCaption("Refer GPS");
    return;
  }
  CheckBox1.SetCaption("Refer Key-in");
  Edit7.SetText("40");
  Edit8.SetText("0");
}

void CnoPage::LockControls() {
  for (ui::Edit* edit : {&Edit6, &Edit7, &Edit8, &Edit9}) edit->SetReadOnly(true);
  for (ui::Control* control : std::initializer_list<ui::Control*>{
           &CheckBox1, &CheckBox2, &ComboBox5, &RadioButton6, &RadioButton7}) {
    control->SetEnabled(false);
  }
}

void CnoPage::GiveControlsBack() {
  Button9.SetEnabled(true);
  for (ui::Edit* edit : {&Edit6, &Edit7, &Edit8, &Edit9}) edit->SetReadOnly(false);
  for (ui::Control* control : std::initializer_list<ui::Control*>{
           &CheckBox1, &CheckBox2, &ComboBox5, &RadioButton6, &RadioButton7}) {
    control->SetEnabled(true);
  }
}

void CnoPage::ResetTestPage() {
  app::PortBoard& board = context_.board;
  const bool cno_test = RadioButton6.Checked();
  const bool customer_id = RadioButton7.Checked();
  if (!cno_test && !customer_id) return;
  if (cno_test) {
    // The reference's values of an earlier run say nothing about the sky of this one.
    SortedSatPrn[app::kTerminalSlot].fill(0);
    SortedSatSnr[app::kTerminalSlot].fill(0);
    board.GsvComplete[app::kTerminalSlot].store(0);
  }
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    SortedSatPrn[slot].fill(0);
    SortedSatSnr[slot].fill(0);
    board.SentencesSeen[slot].store(0);
    board.TestStatusColor[slot].store(app::kNavy);
    if (cno_test) {
      board.TestStatusText[slot].Set(kCnoStatus);
      // A group completed after the last run's final tick belongs to that run's module.
      board.GsvComplete[slot].store(0);
      CnoLabel(slot).SetCaption("0%");
      StatusLabel(slot).SetCaption(kCnoStatus);
    } else {
      board.TestStatusText[slot].Set("Setting CustomerID");
      board.CustomerIdReply[slot].Set("");
      board.CustomerIdReplySeen[slot].store(0);
      board.VersionSeen[slot].store(0);
      board.Reply200Seen[slot].store(0);
      CnoLabel(slot).SetCaption(" ");
      StatusLabel(slot).SetCaption(kCustomerIdStatus);
    }
  }
}

download::SlotBoxes CnoPage::Boxes() {
  download::SlotBoxes boxes{};
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) boxes[slot] = &SlotBox(slot);
  return boxes;
}

ui::GroupBox& CnoPage::SlotBox(int slot) {
  std::array<ui::GroupBox*, 8> boxes{&GroupBox25, &GroupBox26, &GroupBox27, &GroupBox28,
                                     &GroupBox29, &GroupBox30, &GroupBox31, &GroupBox32};
  return *boxes.at(slot);
}

ui::Label& CnoPage::StatusLabel(int slot) {
  std::array<ui::Label*, 8> labels{&Label15, &Label39, &Label41, &Label43,
                                   &Label45, &Label47, &Label49, &Label51};
  return *labels.at(slot);
}

ui::Label& CnoPage::CnoLabel(int slot) {
  std::array<ui::Label*, 8> labels{&Label38, &Label40, &Label42, &Label44,
                                   &Label46, &Label48, &Label50, &Label52};
  return *labels.at(slot);
}

ui::ProgressBar& CnoPage::SlotProgressBar(int slot) {
  std::array<ui::ProgressBar*, 8> bars{&ProgressBar9,  &ProgressBar10, &ProgressBar11,
                                       &ProgressBar12, &ProgressBar13, &ProgressBar14,
                                       &ProgressBar15, &ProgressBar16};
  return *bars.at(slot);
}

}  // namespace flashpost::cno
