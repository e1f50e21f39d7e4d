// Start and Stop of the C/N0 page.

#include <algorithm>
#include <memory>

#include "board/colors.h"
#include "cno/cno_page.h"
#include "cno/entry_checks.h"
#include "protocol/nmea.h"
#include "protocol/vbi.h"
#include "serial/serial_port.h"
#include "workers/port_worker.h"

namespace flashpost::cno {

namespace {

bool NonNegativeWholeNumber(const std::string& text) {
  auto value = ParseWholeNumber(text);
  return value && *value >= 0;
}

}  // namespace

void CnoPage::Refuse(const std::string& text) {
  Label55.SetFontColor(app::kRed);
  Label55.SetCaption(text);
  GiveControlsBack();
}

std::string CnoPage::FirstRefusal() const {
  const app::PortBoard& board = context_.board;
  const int terminal = app::kTerminalSlot;
  const int32_t count = board.SelectedPortCount.load();
  if (board.JobCnoTest[0].load() != 0) {
    if (PortConflict != 0) return "Please re-select Com Port";
    if (board.ProtocolMode[terminal].load() != 0) return "Please make sure Ref. GPS on NMEA mode!";
    if (board.ReadEnabled[terminal].load() != 1) return "Please Opene Ref. GPS!";
  }
  if (count > app::kModuleSlotCount) return " Error !( Com Port can't over 8 ports)";
  if (count == 0) return " No Com Port Selected !";

  // The settings are converted below; a box that does not hold a number must stop the Start
  // before anything runs, not leave the page half started.
  if (!NonNegativeWholeNumber(Edit6.Text())) return "Timeout must be a whole number of ms!(NG)";
  if (!ParseWholeNumber(Edit7.Text())) return "C/No must be a whole number!(NG)";
  if (!ParseWholeNumber(Edit8.Text())) return "C/No Bias must be a whole number!(NG)";
  if (!serial::ParseBaudText(ComboBox5.Text())) {
    return "Baud Rate must be a number such as 9600!(NG)";
  }
  bool sends_customer_id = false;
  for (int slot = 0; slot < count; ++slot) {
    if (board.JobCustomerId[slot].load() != 0) sends_customer_id = true;
  }
  if (sends_customer_id && !IsSendableCustomerId(Edit9.Text())) {
    return "Customer ID must be printable characters without $ or *!(NG)";
  }
  return "";
}

void CnoPage::Button9Click() {
  app::PortBoard& board = context_.board;
  context_.timer2.SetTimerEnabled(false);
  LockControls();
  // The new run takes the slots over: the last run's workers (a customer ID that timed out keeps
  // its worker reading) leave first, so none of their replies counts in this run.
  if (!workers::RetireRunningWorkers(context_.loop, board, app::kModuleSlotCount)) {
    Refuse("Last run still stopping: press Start again!");
    return;
  }

  PortConflict = download::CollectSelectedPorts(board, CheckListBox1, Boxes(),
                                                static_cast<size_t>(board.PortsFound.load()))
                     ? 1
                     : 0;
  ResetTestPage();
  download::ShowSelectedPorts(board, context_.status_bar);

  if (std::string refusal = FirstRefusal(); !refusal.empty()) {
    Refuse(refusal);
    return;
  }
  context_.timer2.SetTimerEnabled(true);
  Button9.SetEnabled(false);

  TestBaudText = ComboBox5.Text();
  TestTimeoutMs = *ParseWholeNumber(Edit6.Text());
  CnoLimit = *ParseWholeNumber(Edit7.Text());
  CnoBias = *ParseWholeNumber(Edit8.Text());

  if (board.JobCnoTest[0].load() != 0) {
    board.TestMessageColor.store(app::kNavy);
    board.TestMessageText.Set("Testing C/No now....");
  } else if (board.JobCustomerId[0].load() != 0) {
    board.TestMessageColor.store(app::kNavy);
    board.TestMessageText.Set("Setting Customer ID now....");
  }

  // The module takes at most this many characters of an ID.
  const std::string customer_id = Edit9.Text().substr(0, kCustomerIdMaxLength);
  running_.fill(false);
  judged_.fill(false);
  timed_out_.fill(false);
  sent_customer_id_ = customer_id;
  const int count = board.SelectedPortCount.load();
  for (int slot = 0; slot < count; ++slot) StartSlot(slot, customer_id);
}

void CnoPage::StartSlot(int slot, const std::string& customer_id) {
  app::PortBoard& board = context_.board;
  if (!download::OpenSlotPort(board, board.SelectedPorts[slot].Get(), slot, TestBaudText)) return;
  running_[slot] = true;
  if (context_.start_worker) context_.start_worker(slot);
  board.StartTick[slot].store(board.Clock().Ticks());
  if (board.JobCnoTest[slot].load() != 0) protocol::SendTestStartCommand(board, slot);
  if (board.JobCustomerId[slot].load() != 0) protocol::SendCustomerId(board, slot, customer_id);
}

void CnoPage::Button10Click() {
  app::PortBoard& board = context_.board;
  context_.timer2.SetTimerEnabled(false);
  GiveControlsBack();
  Label55.SetFontColor(app::kNavy);
  Label55.SetCaption("Please select Com Port !");
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    if (auto worker = board.Worker[slot].Get()) worker->Terminate();
    serial::CloseIfOpen(board, slot);
  }
}

}  // namespace flashpost::cno
