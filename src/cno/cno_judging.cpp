// Timer2: the judging of every running slot and the refresh of the page.

#include <algorithm>
#include <string>
#include <utility>

#include "board/colors.h"
#include "cno/cno_page.h"
#include "platform/clock.h"

namespace flashpost::cno {

void CnoPage::SortSatellites(int slot) {
  const app::PortBoard& board = context_.board;
  auto& prn = SortedSatPrn.at(slot);
  auto& snr = SortedSatSnr.at(slot);
  prn.fill(0);
  snr.fill(0);
  for (int i = 0; i < kSatellites; ++i) {
    prn[i] = board.SatPrn[slot][i].load();
    snr[i] = board.SatSnr[slot][i].load();
  }
  // Exchanges only on strictly greater, so of equal satellites the one the GSV group listed
  // first stays in front.
  for (int i = 0; i < kSatellites - 1; ++i) {
    for (int j = i + 1; j < kSatellites; ++j) {
      if (snr[j] > snr[i]) {
        std::swap(snr[i], snr[j]);
        std::swap(prn[i], prn[j]);
      }
    }
  }
}

int CnoPage::SlotsToJudge() const {
  return std::clamp(context_.board.SelectedPortCount.load(), 0, app::kModuleSlotCount);
}

void CnoPage::Timer2Timer() {
  app::PortBoard& board = context_.board;
  const bool cno_test = RadioButton6.Checked();
  const bool customer_id = RadioButton7.Checked();
  if (cno_test && board.GsvComplete[app::kTerminalSlot].load() == 1) {
    SortSatellites(app::kTerminalSlot);
    board.GsvComplete[app::kTerminalSlot].store(0);
  }
  for (int slot = 0; slot < SlotsToJudge(); ++slot) {
    if (!running_[slot]) continue;
    if (cno_test) JudgeCno(slot);
    if (customer_id) JudgeCustomerId(slot);
  }
  RefreshTestPage();
}

void CnoPage::JudgeCno(int slot) {
  app::PortBoard& board = context_.board;
  if (judged_[slot]) return;  // a verdict, once shown, stands
  if (board.GsvComplete[slot].load() == 1) {
    SortSatellites(slot);
    board.GsvComplete[slot].store(0);
  }
  const uint32_t timeout = static_cast<uint32_t>(TestTimeoutMs);
  if (!platform::Elapsed(board.Clock().Ticks(), board.StartTick[slot].load(), timeout)) return;

  judged_[slot] = true;
  if (context_.stop_slot) context_.stop_slot(slot);
  const bool refer_gps = CheckBox1.Checked();
  bool pass = false;
  std::string text;
  if (refer_gps && SortedSatSnr[app::kTerminalSlot][0] <= 0) {
    // Against a silent reference (unplugged, at the wrong speed, no sky) the limit would be 0
    // and every module would pass.
    text = kNoReferenceText;
  } else if (board.SentencesSeen[slot].load() == 0) {
    // Not a weak module: nothing at all came from it at this speed.
    text = kNoNmeaText;
  } else {
    int32_t limit = refer_gps ? SortedSatSnr[app::kTerminalSlot][0] : CnoLimit;
    if (CheckBox2.Checked()) limit -= CnoBias;
    const int32_t strongest = SortedSatSnr[slot][0];
    // A module that heard no satellite at all has shown nothing, whatever the limit came to
    // (a bias above the reference's value, a limit keyed in as 0).
    pass = strongest >= limit && strongest > 0;
    text = "SV " + std::to_string(SortedSatPrn[slot][0]) + (pass ? " : Pass!" : " : Fail!");
  }
  board.TestStatusColor[slot].store(pass ? app::kGreen : app::kRed);
  board.TestStatusText[slot].Set(text);
  GiveControlsBack();
}

void CnoPage::JudgeCustomerId(int slot) {
  app::PortBoard& board = context_.board;
  if (judged_[slot]) return;  // the confirmation has been judged; it stands
  const uint32_t timeout = static_cast<uint32_t>(TestTimeoutMs);
  if (!timed_out_[slot] &&
      platform::Elapsed(board.Clock().Ticks(), board.StartTick[slot].load(), timeout)) {
    // The worker keeps reading, so a late confirmation still turns the line green.
    timed_out_[slot] = true;
    board.TestStatusColor[slot].store(app::kRed);
    board.TestStatusText[slot].Set("Time out : " + std::to_string(TestTimeoutMs / 1000) + "S");
    GiveControlsBack();
  }
  if (board.Reply200Seen[slot].load() != 0 && board.CustomerIdReplySeen[slot].load() != 0) {
    judged_[slot] = true;
    if (context_.stop_slot) context_.stop_slot(slot);
    // A module that reports another ID than the one sent holds the wrong one.
    const std::string reply = board.CustomerIdReply[slot].Get();
    const bool pass = reply == sent_customer_id_;
    board.TestStatusColor[slot].store(pass ? app::kGreen : app::kRed);
    board.TestStatusText[slot].Set(reply + (pass ? " - Pass!" : " - Fail!"));
    GiveControlsBack();
  }
}

void CnoPage::RefreshTestPage() {
  const app::PortBoard& board = context_.board;
  if (std::string message = board.TestMessageText.Get(); message != " ") {
    Label55.SetFontColor(board.TestMessageColor.load());
    Label55.SetCaption(std::move(message));
  }
  if (RadioButton6.Checked()) {
    for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
      const int32_t strongest = SortedSatSnr[slot][0];
      SlotProgressBar(slot).SetPosition(strongest);
      CnoLabel(slot).SetCaption(std::to_string(strongest) + "dBHz");
    }
  }
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    std::string text = board.TestStatusText[slot].Get();
    if (text == " ") continue;  // a blank leaves the last line up
    const ui::Color color = board.TestStatusColor[slot].load();
    StatusLabel(slot).SetFontColor(color);
    CnoLabel(slot).SetFontColor(color);
    StatusLabel(slot).SetCaption(std::move(text));
  }
}

}  // namespace flashpost::cno
