#include "download/multi_port_page.h"

#include <charconv>

#include "board/colors.h"
#include "download/port_selection.h"
#include "serial/serial_port.h"
#include "workers/port_worker.h"

namespace flashpost::download {

namespace {

constexpr uint64_t kAllImageSize = 524288;  // 512 KB: loader and image together
constexpr uint64_t kFsaSize = 8192;
constexpr uint64_t kFwApMinSize = 470 * 1024;
constexpr uint64_t kFwApMaxSize = 480 * 1024;

// A positive whole number of milliseconds, nothing else.
std::optional<int32_t> ParseWaitingTime(const std::string& text) {
  int32_t value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  auto [end, error] = std::from_chars(first, last, value);
  if (text.empty() || error != std::errc() || end != last || value <= 0) return std::nullopt;
  return value;
}

}  // namespace

MultiPortPage::MultiPortPage(ui::PageControl& pages, Context context)
    : Sheet("McdPage", &pages),
      Options(Sheet, context.board, context.services, Edit25),
      context_(std::move(context)) {
  Sheet.SetCaption("MCD");
  Sheet.SetTabVisible(false);
  Sheet.SetGeometry({0, 0, 593, 653});

  GroupBox14.SetCaption("Download  Status ");
  GroupBox14.SetGeometry({8, 4, 576, 356});
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    // Two columns of four boxes, slot 0 top left, slots in reading order as on the C/N0 page.
    const int left = 8 + (slot % 2) * 284;
    const int top = 16 + (slot / 2) * 84;
    SlotBox(slot).SetCaption("Com Port #");
    SlotBox(slot).SetGeometry({left, top, 276, 80});
    StatusLabel(slot).SetCaption("Select file to be transferred");
    StatusLabel(slot).SetFontColor(app::kNavy);
    StatusLabel(slot).SetGeometry({8, 18, 260, 16});
    SlotProgressBar(slot).SetRange(0, 100);
    SlotProgressBar(slot).SetSmooth(true);
    SlotProgressBar(slot).SetGeometry({8, 44, 212, 18});
    PercentLabel(slot).SetCaption("0%");
    PercentLabel(slot).SetGeometry({228, 46, 40, 16});
  }

  // The option group sits below the status boxes, the run controls below it.
  GroupBox1.SetCaption("Com Port List");
  GroupBox1.SetGeometry({8, 516, 150, 130});
  ComPortList.SetGeometry({8, 16, 134, 78});
  Button16.SetCaption("Scan ComPort");
  Button16.SetGeometry({8, 98, 134, 24});
  Button16.OnClick = [this] {
    if (context_.scan_ports) context_.scan_ports();
  };

  GroupBox2.SetCaption("Open File");
  GroupBox2.SetGeometry({164, 516, 420, 50});
  Label20.SetCaption("File Name: ");
  Label20.SetGeometry({8, 22, 64, 16});
  Edit18.SetGeometry({72, 18, 266, 21});
  Edit18.SetReadOnly(true);
  Button2.SetCaption("Select");
  Button2.SetGeometry({344, 16, 68, 25});
  Button2.OnClick = [this] { Button2Click(); };

  GroupBox10.SetCaption("Run MCD Downloader");
  GroupBox10.SetGeometry({164, 570, 250, 76});
  Label17.SetCaption("Waiting Time : ");
  Label17.SetGeometry({8, 22, 84, 16});
  Edit25.SetText("10000");
  Edit25.SetGeometry({96, 18, 70, 21});
  Button1.SetCaption("Start");
  Button1.SetGeometry({8, 46, 74, 24});
  Button1.OnClick = [this] { Button1Click(); };
  Button7.SetCaption("Stop");
  Button7.SetGeometry({88, 46, 74, 24});
  Button7.OnClick = [this] { Button7Click(); };
  Button11.SetCaption("Button11");
  Button11.SetGeometry({168, 46, 74, 24});
  Button11.OnClick = [this] {
    if (context_.clear_reader_assembly) context_.clear_reader_assembly();
  };

  GroupBox16.SetCaption("Message");
  GroupBox16.SetGeometry({420, 570, 164, 76});
  Label18.SetCaption("Please select Com Port !");
  Label18.SetFontColor(app::kNavy);
  Label18.SetGeometry({8, 16, 150, 56});
  Label18.SetWordWrap(true);  // the refusals run to three lines
}

std::optional<uint64_t> MultiPortPage::SelectedFileSize() const {
  if (!file_) return std::nullopt;
  return file_->Size();
}

void MultiPortPage::Button2Click() {
  // A cancelled dialog leaves the previous name, which is opened again.
  context_.open_dialog.Execute();
  const std::string path = context_.open_dialog.FileName();
  Edit18.SetText(path);
  file_.reset();
  file_ = platform::OpenHeldFile(path);
}

void MultiPortPage::Refuse(const char* text, bool edit_waiting_time) {
  app::PortBoard& board = context_.board;
  board.MessageColor.store(app::kRed);
  board.MessageText.Set(text);
  if (edit_waiting_time) Edit25.SetReadOnly(false);
  context_.eraser_start.SetEnabled(true);
  Button1.SetEnabled(true);
  Button7.SetEnabled(true);
  Options.GroupBox18.SetEnabled(true);
  GroupBox1.SetEnabled(true);
}

void MultiPortPage::Button1Click() {
  app::PortBoard& board = context_.board;
  context_.timer1.SetTimerEnabled(true);
  context_.eraser_start.SetEnabled(false);
  Button1.SetEnabled(false);
  Button7.SetEnabled(false);
  Options.GroupBox18.SetEnabled(false);
  GroupBox1.SetEnabled(false);
  board.MessageColor.store(app::kNavy);
  board.MessageText.Set("Please select Com Port !");
  // A slot's FW(AP) update lowers its job flag as it ends, which the automatic page's fall-back
  // relies on. While FW(AP) is still the chosen option, the next Start (the next set of modules,
  // or the same ones after a Stop) is that job again, not workers waiting for one that never comes.
  if (Options.RadioButton5.Checked()) {
    for (auto& job : board.JobFwAp) job.store(1);
  }

  // A calibration alone sends nothing of a file: it needs none.
  const bool calibration_only = board.JobXtalCal[0].load() != 0 &&
                                board.JobAllImageNoCode[0].load() == 0 &&
                                board.JobFsa[0].load() == 0 && board.JobFwAp[0].load() == 0 &&
                                board.JobAllImageWithCode[0].load() == 0;
  if (!file_ && !calibration_only) return Refuse("Cannot open file!(NG)");
  // The firmware sent is the embedded one; the file's size tells whether the operator chose the
  // file that belongs to the job.
  const std::optional<uint64_t> size = SelectedFileSize();
  auto size_is = [&size](uint64_t expected) { return size.value_or(0) == expected; };
  if (board.JobAllImageNoCode[0].load() != 0 && !size_is(kAllImageSize)) {
    return Refuse("File size is not 512KB!(NG)");
  }
  if (board.JobFsa[0].load() != 0 && !size_is(kFsaSize)) {
    return Refuse("File size is not 8KB!(NG)");
  }
  const uint64_t fw_ap_size = size.value_or(0);
  if (board.JobFwAp[0].load() != 0 && !(fw_ap_size >= kFwApMinSize && fw_ap_size <= kFwApMaxSize)) {
    return Refuse("File size is over 480K or small than 470K!(NG)");
  }
  if (board.JobAllImageWithCode[0].load() != 0 && !size_is(kAllImageSize)) {
    return Refuse("File size is not 512KB!(NG)");
  }
  // Workers started with a limit the operator did not mean would wait for the wrong time.
  const std::optional<int32_t> waiting_ms = ParseWaitingTime(Edit25.Text());
  if (!waiting_ms) return Refuse("Waiting Time must be a whole number of ms!(NG)");

  // The new run takes the slots over: the last run's workers leave first, so that none of them
  // writes into the new run's status lines or closes a port it has opened.
  if (!workers::RetireRunningWorkers(context_.services.loop, board, app::kModuleSlotCount)) {
    return Refuse("Last run still stopping: press Start again!");
  }
  Edit25.SetReadOnly(true);
  const bool conflict = CollectSelectedPorts();
  ResetSlotStatus();
  ShowSelectedPorts();

  if (conflict && board.ReadEnabled[app::kTerminalSlot].load() == 1) {
    return Refuse("Please re-select Com Port");
  }
  if (board.ProtocolMode[app::kTerminalSlot].load() != 1) {
    return Refuse("Please make sure Ref. GPS on VBI mode!");
  }
  const int32_t port_count = board.SelectedPortCount.load();
  if (port_count > app::kModuleSlotCount) {
    return Refuse(" Error !( Com Port can't over 8 ports)", false);
  }
  if (port_count == 0) return Refuse(" No Com Port Selected !", false);

  const bool calibrating = board.JobXtalCal[0].load() != 0 || Options.AutoCalibration.Checked();
  if (calibrating) {
    if (context_.reset_calibration) context_.reset_calibration();
    Options.BuildOptionWord();
  }
  board.MessageColor.store(app::kNavy);
  board.MessageText.Set("Downloading....");

  // One speed for the whole run, the one the terminal page last opened the reference at: the
  // shared baud text may still hold the kernel's 115200 from an earlier job, and a slot's update
  // switches it while the others still talk to their modules at the NMEA speed.
  const std::string nmea_baud = board.TerminalBaudText.Get();
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    board.RunBaudText[slot].Set(nmea_baud);
    board.OpenRetrying[slot].store(0);
  }
  board.WaitTimeoutMs.store(*waiting_ms);

  if (!calibrating) {
    context_.start_worker(0);
  } else if (!StartSlotZeroCalibration()) {
    Refuse("Please Open Ref. GPS! ");
    Button7.SetEnabled(false);  // this refusal alone leaves Stop off
    return;
  }

  for (int slot = 1; slot < port_count; ++slot) {
    const bool slot_calibrates =
        board.JobXtalCal[slot].load() != 0 || Options.AutoCalibration.Checked();
    if (!slot_calibrates || OpenSlotPort(board.SelectedPorts[slot].Get(), slot)) {
      context_.start_worker(slot);
    }
  }
  context_.timer2.SetTimerEnabled(false);
  // Stop is the operator's only way to end a run that hangs on a module: it stays usable.
  Button7.SetEnabled(true);
}

bool MultiPortPage::StartSlotZeroCalibration() {
  app::PortBoard& board = context_.board;
  if (board.ReadEnabled[app::kTerminalSlot].load() != 1) return false;
  if (!Options.AutoCalibration.Checked()) board.MessageText.Set("Testing....");
  if (OpenSlotPort(board.SelectedPorts[0].Get(), 0)) {
    context_.start_worker(0);
    // The reference receiver is asked for its ephemerides again once it has a fix.
    board.ReferenceRequestSent.store(0);
  }
  return true;
}

void MultiPortPage::Button7Click() {
  app::PortBoard& board = context_.board;
  Button1.SetEnabled(true);
  Options.GroupBox18.SetEnabled(true);
  GroupBox1.SetEnabled(true);
  Edit25.SetReadOnly(false);
  context_.timer2.SetTimerEnabled(false);
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    if (auto worker = board.Worker[slot].Get()) worker->Terminate();
    serial::CloseIfOpen(board, slot);
  }
  if (board.XtalAfterDownload.load() != 0) {
    for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
      board.JobAllImageNoCode[slot].store(1);
      for (auto* job : {&board.JobFsa, &board.JobAllImageWithCode, &board.JobXtalCal,
                        &board.JobCnoTest, &board.JobCustomerId}) {
        (*job)[slot].store(0);
      }
      board.ProtocolMode[slot].store(1);
    }
  }
}

bool MultiPortPage::CollectSelectedPorts() {
  return download::CollectSelectedPorts(context_.board, ComPortList, Boxes(),
                                        ComPortList.Items().size());
}

void MultiPortPage::ResetSlotStatus() {
  app::PortBoard& board = context_.board;
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    board.ForgetRun(slot);
    board.ProgressPercent[slot].store(0);
    board.SetStatus(slot, app::kNavy, "Select file to be transferred");
  }
}

void MultiPortPage::ShowSelectedPorts() {
  download::ShowSelectedPorts(context_.board, context_.status_bar);
}

bool MultiPortPage::OpenSlotPort(const std::string& port_name, int slot) {
  return download::OpenSlotPort(context_.board, port_name, slot,
                                context_.board.RunBaudText[slot].Get());
}

void MultiPortPage::RestoreControls(bool keep_start_disabled) {
  if (!keep_start_disabled) Button1.SetEnabled(true);
  Options.GroupBox18.SetEnabled(true);
  GroupBox1.SetEnabled(true);
  Edit25.SetReadOnly(false);
}

SlotBoxes MultiPortPage::Boxes() {
  return {&GroupBox3, &GroupBox4, &GroupBox5,  &GroupBox6,
          &GroupBox7, &GroupBox8, &GroupBox11, &GroupBox12};
}

ui::GroupBox& MultiPortPage::SlotBox(int slot) { return *Boxes().at(slot); }

ui::Label& MultiPortPage::StatusLabel(int slot) {
  std::array<ui::Label*, 8> labels{&Label16, &Label1, &Label3,  &Label5,
                                   &Label7,  &Label9, &Label11, &Label13};
  return *labels.at(slot);
}

ui::ProgressBar& MultiPortPage::SlotProgressBar(int slot) {
  std::array<ui::ProgressBar*, 8> bars{&ProgressBar1, &ProgressBar2, &ProgressBar3, &ProgressBar4,
                                       &ProgressBar5, &ProgressBar6, &ProgressBar7, &ProgressBar8};
  return *bars.at(slot);
}

ui::Label& MultiPortPage::PercentLabel(int slot) {
  std::array<ui::Label*, 8> labels{&Label19, &Label2,  &Label4,  &Label6,
                                   &Label8,  &Label10, &Label12, &Label14};
  return *labels.at(slot);
}

}  // namespace flashpost::download
