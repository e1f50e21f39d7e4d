#include "app/run_recorder.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "board/colors.h"

namespace flashpost::app {

namespace {

// Runs after the control's own handler.
void After(ui::Button& button, std::function<void()> then) {
  button.OnClick = [handler = button.OnClick, then = std::move(then)] {
    if (handler) handler();
    then();
  };
}

void AfterTick(ui::Timer& timer, std::function<void()> then) {
  timer.OnTimer = [tick = timer.OnTimer, then = std::move(then)] {
    if (tick) tick();
    then();
  };
}

}  // namespace

RunRecorder::RunRecorder(TMainForm& form, const std::string& path) : form_(form), writer_(path) {
  After(form_.AutoPage.Button13, [this] { AutoStarted(); });
  After(form_.McdPage.Button1, [this] { McdStarted(); });
  After(form_.McdPage.Button7, [this] { Stopped(Page::kMcd); });
  After(form_.CnoPage.Button9, [this] { CnoStarted(); });
  After(form_.CnoPage.Button10, [this] { Stopped(Page::kCno); });
  AfterTick(form_.Timer1, [this] { Poll(); });
  AfterTick(form_.Timer2, [this] { Poll(); });
  if (!writer_.Error().empty()) form_.StatusBar1.SetPanelText(0, writer_.Error());
}

void RunRecorder::AutoStarted() {
  PortBoard& board = form_.Board();
  auto_run_ = Run{};
  auto_run_.page = Page::kAuto;
  auto_run_.start = board.Clock().Ticks();
  auto_run_.slot_count = 1;
  auto_run_.port = form_.AutoPage.ComboBox6.Text();
  // OK that gives itself back at once has ended its run: the port did not open.
  if (form_.AutoPage.Button13.Enabled()) Poll();
}

McdJob RunRecorder::ChosenMcdJob() const {
  const PortBoard& board = form_.Board();
  if (form_.McdPage.Options.AutoCalibration.Checked()) return McdJob::kAllImageXtal;
  if (board.JobXtalCal[0].load() != 0) return McdJob::kXtal;
  if (board.JobFsa[0].load() != 0) return McdJob::kFsa;
  if (board.JobAllImageNoCode[0].load() != 0) return McdJob::kAllImage;
  if (board.JobAllImageWithCode[0].load() != 0) return McdJob::kAllImageCode;
  return McdJob::kFwAp;
}

void RunRecorder::McdStarted() {
  if (form_.McdPage.Button1.Enabled()) return;  // refused: nothing started
  PortBoard& board = form_.Board();
  mcd_run_ = Run{};
  mcd_run_.page = Page::kMcd;
  mcd_run_.start = board.Clock().Ticks();
  mcd_run_.slot_count = std::clamp(board.SelectedPortCount.load(), 0, kModuleSlotCount);
  mcd_run_.job = ChosenMcdJob();
  mcd_run_.vbi_output = board.OutputProtocolIndex.load() == 1;
}

void RunRecorder::CnoStarted() {
  if (form_.CnoPage.Button9.Enabled()) return;  // refused: nothing started
  PortBoard& board = form_.Board();
  cno_run_ = Run{};
  cno_run_.page = Page::kCno;
  cno_run_.start = board.Clock().Ticks();
  cno_run_.slot_count = std::clamp(board.SelectedPortCount.load(), 0, kModuleSlotCount);
  cno_run_.cno_test = form_.CnoPage.RadioButton6.Checked();
  cno_run_.id_sent = form_.CnoPage.Edit9.Text().substr(0, cno::CnoPage::kCustomerIdMaxLength);
}

void RunRecorder::Poll() {
  PortBoard& board = form_.Board();
  if (auto_run_.page == Page::kAuto && !auto_run_.recorded[0]) {
    const PortBoard::StatusLine status = board.ReadStatus(0);
    if (form_.AutoPage.Button13.Enabled() || status.text == "Restart module and Tool!") {
      auto_run_.recorded[0] = true;
      Record(auto_run_, 0, AutoRunPassed(status.text, status.color), status.text, "update",
             auto_run_.port);
    }
  }
  for (int slot = 0; slot < mcd_run_.slot_count; ++slot) {
    if (mcd_run_.recorded[slot]) continue;
    auto worker = board.Worker[slot].Get();
    const PortBoard::StatusLine status = board.ReadStatus(slot);
    const SlotOutcome outcome = JudgeMcdSlot(mcd_run_.job, mcd_run_.vbi_output, status.text,
                                             status.color, !worker || worker->Finished());
    if (outcome == SlotOutcome::kRunning) continue;
    mcd_run_.recorded[slot] = true;
    Record(mcd_run_, slot, outcome == SlotOutcome::kPassed, status.text, McdJobName(mcd_run_.job),
           board.SelectedPorts[slot].Get());
  }
  for (int slot = 0; slot < cno_run_.slot_count; ++slot) {
    if (cno_run_.recorded[slot]) continue;
    const std::string status = board.TestStatusText[slot].Get();
    const SlotOutcome outcome = JudgeCnoSlot(cno_run_.cno_test, cno_run_.id_sent, status,
                                             board.TestStatusColor[slot].load());
    if (outcome == SlotOutcome::kRunning) continue;
    cno_run_.recorded[slot] = true;
    Record(cno_run_, slot, outcome == SlotOutcome::kPassed, status,
           cno_run_.cno_test ? "cno" : "id", board.SelectedPorts[slot].Get());
  }
}

void RunRecorder::Stopped(Page page) {
  Poll();
  PortBoard& board = form_.Board();
  Run& run = page == Page::kMcd ? mcd_run_ : cno_run_;
  for (int slot = 0; slot < run.slot_count; ++slot) {
    if (run.recorded[slot]) continue;
    run.recorded[slot] = true;
    const std::string status =
        page == Page::kMcd ? board.StatusText[slot].Get() : board.TestStatusText[slot].Get();
    Record(run, slot, false, status,
           page == Page::kMcd ? McdJobName(run.job) : (run.cno_test ? "cno" : "id"),
           board.SelectedPorts[slot].Get());
  }
}

void RunRecorder::Record(const Run& run, int slot, bool passed, const std::string& status,
                         const std::string& job, const std::string& port) {
  if (!writer_.Active()) return;
  PortBoard& board = form_.Board();
  RunRecord record = StartRecord(board, slot, board.Clock().Ticks());
  record.command = "window";
  record.job = job;
  record.port = port;
  record.passed = passed;
  record.status = status;
  record.duration_ms = board.Clock().Ticks() - run.start;
  if (!writer_.Write(record) && !error_shown_) {
    error_shown_ = true;
    form_.StatusBar1.SetPanelText(0, writer_.Error());
  }
}

}  // namespace flashpost::app
