#include "serial/slot_job.h"

#include "serial/serial_port.h"

namespace flashpost::serial {

void SlotJob::Show(uint32_t color, const std::string& text) const {
  UnlessStopped([&] { board_.SetStatus(slot_, color, text); });
}

void SlotJob::ShowColor(uint32_t color) const {
  UnlessStopped([&] { board_.StatusColor[slot_].store(color); });
}

void SlotJob::ShowText(const std::string& text) const {
  UnlessStopped([&] { board_.StatusText[slot_].Set(text); });
}

void SlotJob::SetProgress(int32_t percent) const {
  UnlessStopped([&] { board_.ProgressPercent[slot_].store(percent); });
}

bool SlotJob::Open(const std::string& port_name, const std::string& baud_text) const {
  bool opened = false;
  UnlessStopped([&] { opened = OpenPort(board_, port_name, baud_text, slot_) == 1; });
  return opened;
}

bool SlotJob::SetSpeed(const std::string& baud_text) const {
  bool set = false;
  UnlessStopped([&] { set = SetPortSpeed(board_, baud_text, slot_) == 1; });
  return set;
}

void SlotJob::CloseIfOpen() const {
  UnlessStopped([&] { serial::CloseIfOpen(board_, slot_); });
}

bool SlotJob::PortOpen() const { return board_.Port[slot_].Get() != nullptr; }

std::optional<uint8_t> SlotJob::ReadByte() const { return ReadPortByte(board_, slot_, &stop_); }

bool SlotJob::Write(const uint8_t* data, size_t n) const {
  bool written = false;
  UnlessStopped([&] { written = WritePort(board_, slot_, data, n, &stop_.GiveUp()); });
  return written;
}

bool SlotJob::Write(std::string_view text) const {
  return Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace flashpost::serial
