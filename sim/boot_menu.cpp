#include "sim/boot_menu.h"

#include <array>

#include "sim/device.h"

namespace flashpost::sim {

namespace {

// Eight sync bytes, then who is talking.
constexpr const char* kBanner =
    "ZZZZZZZZ\r\nKX420 boot code V2.1\r\nPress SPACE for the boot menu\r\n";

constexpr const char* kMenuText =
    "\r\n====== KX420 boot menu ======\r\n"
    " 0  erase the flash\r\n"
    " 9  start the firmware\r\n"
    "=============================\r\n"
    "select> ";

struct Question {
  const char* area;
  const char* text;  // begins with 'E' and holds no other
};
constexpr std::array<Question, 3> kQuestions = {{
    {BootCode::kAreaFirmware, "Erase firmware? (y/n)\r\n"},
    {BootCode::kAreaSettings, "Erase settings? (y/n)\r\n"},
    {BootCode::kAreaCalibration, "Erase calibration data? (y/n)\r\n"},
}};

}  // namespace

BootCode::BootCode(BootMenuKind kind, uint32_t tick, uint32_t window_ms)
    : kind_(kind), window_end_(tick + window_ms) {}

std::string BootCode::Banner() const { return kind_ == BootMenuKind::kSilent ? "" : kBanner; }

std::string BootCode::Menu() {
  menu_shown_ = true;
  return kMenuText;
}

std::string BootCode::Receive(uint32_t tick, uint8_t b) {
  if (kind_ != BootMenuKind::kMenu || Finished(tick)) return "";
  switch (state_) {
    case State::kWindow:
      if (b != ' ') return "";
      state_ = State::kMenu;
      return Menu();
    case State::kMenu:
      if (b == '0') {
        state_ = State::kQuestions;
        question_ = 0;
        std::string questions;
        for (const Question& q : kQuestions) questions += q.text;
        return questions;
      }
      if (b == '9') {
        state_ = State::kDone;
        return "\r\n";
      }
      return Menu();
    case State::kQuestions: {
      if (b != 'y' && b != 'n') return "";
      const Question& q = kQuestions[question_++];
      if (b == 'y') erased_.push_back(q.area);
      if (question_ == kQuestions.size()) state_ = State::kDone;
      return std::string(q.area) + (b == 'y' ? " erased\r\n" : " kept\r\n");
    }
    case State::kDone:
      break;
  }
  return "";
}

bool BootCode::Finished(uint32_t tick) const {
  return state_ == State::kDone || (state_ == State::kWindow && Reached(tick, window_end_));
}

uint32_t BootCode::IdleFor(uint32_t tick) const {
  if (state_ != State::kWindow) return Device::kMaxIdleMs;
  return Reached(tick, window_end_) ? 0 : window_end_ - tick;
}

}  // namespace flashpost::sim
