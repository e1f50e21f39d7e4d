#include "terminal/flash_eraser.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <vector>

#include "serial/serial_port.h"

namespace flashpost::terminal {

namespace {

constexpr int kSlot = app::kTerminalSlot;
// The boot code's menu runs at this speed whatever the module's NMEA rate.
constexpr char kEraserBaud[] = "115200";

// The boot code prints 'Z' bytes as it powers up; six of them mean a module is on the line.
constexpr uint8_t kPowerUpByte = 'Z';
constexpr int kPowerUpBytesNeeded = 6;
// Spaces before the boot code shows its menu.
constexpr uint8_t kWakeKey = ' ';
constexpr int32_t kWakeKeyCount = 5;
// The menu's rule lines are drawn with '='; a read holding four of them caught the menu.
constexpr uint8_t kMenuRuleByte = '=';
constexpr int kMenuRuleBytesNeeded = 4;
constexpr int32_t kMenuReads = 3;
// Menu item '0' erases the flash; the boot code then asks its questions, each holding an 'E',
// and takes 'y' for each.
constexpr uint8_t kEraseItemKey = '0';
constexpr uint8_t kQuestionByte = 'E';
constexpr uint8_t kConfirmKey = 'y';

// A chunk of received bytes in a zero-filled buffer; only the bytes the read delivered count.
struct Chunk {
  std::array<uint8_t, EraserMachine::kChunkSize> bytes{};
  size_t length = 0;

  int Count(uint8_t value) const {
    return static_cast<int>(std::count(bytes.begin(), bytes.begin() + length, value));
  }
  // As text: the module's output ends at its first NUL byte.
  std::string Text() const {
    auto end = std::find(bytes.begin(), bytes.begin() + length, uint8_t{0});
    return std::string(bytes.begin(), end);
  }
};

Chunk ReadChunk(EraserPort& port, size_t n) {
  Chunk chunk;
  const size_t asked = std::min(n, chunk.bytes.size());
  // A port that claims more than it was asked for must not widen the scan past the buffer.
  chunk.length = std::min(port.Read(chunk.bytes.data(), asked), asked);
  return chunk;
}

// The terminal slot through the serial layer.
class TerminalSlotPort final : public EraserPort {
 public:
  explicit TerminalSlotPort(app::PortBoard& board) : board_(board) {}

  size_t BytesWaiting() override { return serial::PortBytesWaiting(board_, kSlot); }
  void DiscardInput() override { serial::PurgePort(board_, kSlot, true, false); }
  size_t Read(uint8_t* buffer, size_t n) override {
    // Nothing to wait for: a read of no bytes must not hold up the main thread.
    if (n == 0) return 0;
    return serial::ReadPort(board_, kSlot, buffer, n);
  }
  void Write(uint8_t key) override { serial::WritePort(board_, kSlot, &key, 1); }

 private:
  app::PortBoard& board_;
};

// The module's text as memo lines, broken at CR LF, LF or CR; a final line break adds no line.
std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

}  // namespace

void EraserMachine::Restart() {
  state_ = kWaitingForModule;
  round_ = 0;
  z_count_ = 0;
  confirmations_ = 0;
}

void EraserMachine::NextRound() {
  // The machine may wait for a module for as long as the operator lets it.
  if (round_ < std::numeric_limits<int32_t>::max()) ++round_;
}

EraserTickResult EraserMachine::Tick(EraserPort& port) {
  switch (state_) {
    case kWaitingForModule:
      return WaitForModule(port);
    case kWakingBootMenu:
      return WakeBootMenu(port);
    case kReadingMenu:
      return ReadMenu(port);
    case kChoosingErase:
      return ChooseErase(port);
    default:
      return Finish();
  }
}

EraserTickResult EraserMachine::WaitForModule(EraserPort& port) {
  const size_t waiting = port.BytesWaiting();
  if (waiting > kChunkSize) {
    port.DiscardInput();
    return {};
  }
  z_count_ += ReadChunk(port, waiting).Count(kPowerUpByte);
  EraserTickResult result;
  if (z_count_ >= kPowerUpBytesNeeded) {
    state_ = kWakingBootMenu;
    round_ = 0;
    result.caption = " Got connection!  ";
  } else {
    result.caption = " Please connect your module!  ";
  }
  NextRound();
  return result;
}

EraserTickResult EraserMachine::WakeBootMenu(EraserPort& port) {
  port.Write(kWakeKey);
  if (round_ >= kWakeKeyCount) {
    state_ = kReadingMenu;
    round_ = 0;
  }
  NextRound();
  EraserTickResult result;
  result.caption = "Sending Space Key!  ";
  return result;
}

EraserTickResult EraserMachine::ReadMenu(EraserPort& port) {
  const size_t waiting = port.BytesWaiting();
  if (waiting > kChunkSize) {
    port.DiscardInput();
    return {};
  }
  EraserTickResult result;
  if (round_ <= kMenuReads) {
    // The count was taken before the space went out: the read takes what the module printed
    // before this key, not its answer to it.
    port.Write(kWakeKey);
    Chunk menu = ReadChunk(port, waiting);
    result.memo_text = menu.Text();
    eq_count_ = menu.Count(kMenuRuleByte);
    NextRound();
  }
  if (eq_count_ >= kMenuRuleBytesNeeded) {
    state_ = kChoosingErase;
    round_ = 0;
    result.caption = " Into Manual Select!(NG)";
  } else {
    result.caption = " Try to get 3th data!(NG)";
  }
  return result;
}

EraserTickResult EraserMachine::ChooseErase(EraserPort& port) {
  const size_t waiting = port.BytesWaiting();
  if (waiting > kChunkSize) {
    port.DiscardInput();
    return {};
  }
  port.Write(kEraseItemKey);
  // The menu still waiting is dropped; the boot code's questions follow it.
  ReadChunk(port, waiting);
  Chunk questions = ReadChunk(port, waiting);
  EraserTickResult result;
  result.memo_text = questions.Text();
  confirmations_ = questions.Count(kQuestionByte);
  for (int n = confirmations_; n > 0; --n) port.Write(kConfirmKey);
  NextRound();
  state_ = kFinishing;
  result.caption = " Send 'y' Key!(NG)";
  return result;
}

EraserTickResult EraserMachine::Finish() {
  round_ = 0;
  EraserTickResult result;
  // Without a question answered the boot code has erased nothing: no "(OK)" for that.
  result.caption = confirmations_ > 0 ? " Finished!(OK) " : " Nothing was erased!(NG) ";
  result.finished = true;
  return result;
}

FlashEraser::FlashEraser(Context context) : context_(context) {
  context_.speed_button3.OnClick = [this] { SpeedButton3Click(); };
  context_.button4.OnClick = [this] { Button4Click(); };
  context_.timer3.OnTimer = [this] { Timer3Timer(); };
}

FlashEraser::~FlashEraser() {
  context_.speed_button3.OnClick = nullptr;
  context_.button4.OnClick = nullptr;
  context_.timer3.OnTimer = nullptr;
}

void FlashEraser::ShowConnection(const std::string& state_text, const std::string& baud_text) {
  context_.status_bar.SetPanelText(
      0, state_text + context_.board.CurrentPortName.Get() + " / " + baud_text + " bps");
}

void FlashEraser::ShowInMemo2(const std::string& text) {
  context_.memo2.Clear();
  for (std::string& line : SplitLines(text)) context_.memo2.AddLine(std::move(line));
}

void FlashEraser::LetGoOfPort() {
  ShowConnection("Not Connected : ", context_.board.CurrentBaudText.Get());
  serial::CloseIfOpen(context_.board, kSlot);
}

void FlashEraser::SpeedButton3Click() {
  app::PortBoard& board = context_.board;
  // The eraser reads the terminal port in chunks of its own; the reader would take bytes from it.
  if (auto reader = board.TerminalReader.Get()) reader->Terminate();
  context_.mcd_start.SetEnabled(false);
  context_.mcd_stop.SetEnabled(false);
  board.CurrentPortName.Set(context_.combo_box1.Text());
  board.SavedBaudText.Set(board.CurrentBaudText.Get());
  board.CurrentBaudText.Set(kEraserBaud);
  context_.label21.SetCaption(" Changing Baud Rate to 115200.....");

  if (board.ReadEnabled[kSlot].load() != 1) {
    // The caption stays as it is; the status bar tells why the port did not open, as no page
    // shows the terminal slot's status line.
    if (serial::OpenPort(board, board.CurrentPortName.Get(), kEraserBaud, kSlot) != 1) {
      context_.status_bar.SetPanelText(0, board.StatusText[kSlot].Get());
      return;
    }
    ShowConnection("Connected : ", kEraserBaud);
  }

  context_.label21.SetCaption(" Send command then into Kernel mode");
  context_.timer3.SetTimerEnabled(true);
  machine_.Restart();
  ShowInMemo2(" ");
}

void FlashEraser::Button4Click() {
  machine_.ClearRound();
  context_.timer3.SetTimerEnabled(false);
  context_.button4.SetEnabled(true);
  context_.mcd_start.SetEnabled(true);
  context_.mcd_stop.SetEnabled(true);
  context_.label21.SetCaption(" Starting.....");
  LetGoOfPort();
}

void FlashEraser::Timer3Timer() {
  TerminalSlotPort port(context_.board);
  EraserTickResult result = machine_.Tick(port);
  if (result.memo_text) ShowInMemo2(*result.memo_text);
  if (result.caption) context_.label21.SetCaption(*result.caption);
  if (result.finished) {
    context_.timer3.SetTimerEnabled(false);
    context_.mcd_start.SetEnabled(true);
    LetGoOfPort();
  }
}

}  // namespace flashpost::terminal
