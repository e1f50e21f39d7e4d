#include "serial/serial_port.h"

#include <charconv>

namespace flashpost::serial {

namespace {

void ReportFailure(app::PortBoard& board, int slot, std::string text) {
  board.SetStatus(slot, app::kRed, std::move(text));
  board.ReadEnabled[slot].store(0);
}

}  // namespace

std::optional<uint32_t> ParseBaudText(std::string_view baud_text) {
  uint32_t baud = 0;
  const char* first = baud_text.data();
  const char* last = first + baud_text.size();
  if (baud_text.empty() || baud_text.front() < '0' || baud_text.front() > '9') return std::nullopt;
  auto [end, error] = std::from_chars(first, last, baud);
  if (error != std::errc() || end != last || baud == 0) return std::nullopt;
  return baud;
}

int OpenPort(app::PortBoard& board, const std::string& port_name, const std::string& baud_text,
             int slot) {
  if (!app::IsSlot(slot)) return 0;
  // A slot holds one port at a time: a port still open from an earlier run is closed first, so it
  // is neither left locked nor lost behind the new handle.
  if (board.Port[slot].Get()) ClosePort(board, slot);

  platform::OpenFailure failure;
  auto device = board.Serial().Open(port_name, board.Clock(), kReadTimeoutMs, failure);
  // Before the status text, so that whoever sees the refusal finds its cause already there.
  board.OpenFailureText[slot].Set(device ? "" : failure.text);
  if (!device) {
    board.PortHandle[slot].store(-1);
    ReportFailure(board, slot, "Cannot open " + port_name + " port !");
    return 0;
  }
  board.PortHandle[slot].store(board.NextPortHandle.fetch_add(1));

  if (device->BytesWaiting() > kStaleInputLimit) device->Purge(true, true);

  auto baud = ParseBaudText(baud_text);
  if (!baud || !device->Configure(*baud)) {
    // Running on at the old line settings would talk to the module at the wrong speed while
    // reporting success.
    device->RestoreSettings();
    device->Close();
    ReportFailure(board, slot, "Cannot set " + baud_text + " baud on " + port_name + " port !");
    return 0;
  }

  board.Port[slot].Set(std::shared_ptr<platform::SerialDevice>(std::move(device)));
  board.OpenPortName[slot].Set(port_name);
  board.ReadEnabled[slot].store(1);
  return 1;
}

int SetPortSpeed(app::PortBoard& board, const std::string& baud_text, int slot) {
  auto device = app::IsSlot(slot) ? board.Port[slot].Get() : nullptr;
  if (!device) return 0;
  auto baud = ParseBaudText(baud_text);
  if (baud && device->Configure(*baud)) return 1;
  board.SetStatus(slot, app::kRed, "Cannot set " + baud_text + " baud !");
  return 0;
}

int ClosePort(app::PortBoard& board, int slot) {
  if (!app::IsSlot(slot)) return 0;
  auto device = board.Port[slot].Get();
  if (!device || !device->IsOpen()) {
    board.Port[slot].Set(nullptr);
    return 0;
  }
  // From here on, readers of the slot see a silent line.
  board.Port[slot].Set(nullptr);
  device->DrainOutput();
  device->Purge(true, false);
  device->RestoreSettings();
  device->ClearRtsDtr();
  device->Close();
  board.ReadEnabled[slot].store(0);
  return 1;
}

void CloseIfOpen(app::PortBoard& board, int slot) {
  if (app::IsSlot(slot) && board.ReadEnabled[slot].load() == 1) ClosePort(board, slot);
}

void ScanPorts(app::PortBoard& board, std::initializer_list<ui::ItemsControl*> lists) {
  for (auto* list : lists) list->ClearItems();
  auto ports = board.Serial().ListPorts();
  board.PortsFound.store(static_cast<int32_t>(ports.size()));
  for (const auto& port : ports) {
    for (auto* list : lists) list->AddItem(port);
  }
}

size_t ReadPort(app::PortBoard& board, int slot, uint8_t* buffer, size_t n,
                const ui::StopSignal* stop) {
  auto device = app::IsSlot(slot) ? board.Port[slot].Get() : nullptr;
  if (!device) {
    if (stop) {
      stop->Sleep(board.Clock(), kReadTimeoutMs);
    } else {
      board.Clock().Sleep(kReadTimeoutMs);
    }
    return 0;
  }
  return device->Read(buffer, n);
}

std::optional<uint8_t> ReadPortByte(app::PortBoard& board, int slot, const ui::StopSignal* stop) {
  uint8_t byte = 0;
  if (ReadPort(board, slot, &byte, 1, stop) == 1) return byte;
  return std::nullopt;
}

bool WritePort(app::PortBoard& board, int slot, const uint8_t* data, size_t n,
               const std::atomic<bool>* give_up) {
  auto device = app::IsSlot(slot) ? board.Port[slot].Get() : nullptr;
  return device && device->Write(data, n, give_up);
}

bool WritePort(app::PortBoard& board, int slot, std::string_view text,
               const std::atomic<bool>* give_up) {
  return WritePort(board, slot, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                   give_up);
}

size_t PortBytesWaiting(app::PortBoard& board, int slot) {
  auto device = app::IsSlot(slot) ? board.Port[slot].Get() : nullptr;
  return device ? device->BytesWaiting() : 0;
}

void PurgePort(app::PortBoard& board, int slot, bool receive, bool transmit) {
  auto device = app::IsSlot(slot) ? board.Port[slot].Get() : nullptr;
  if (device) device->Purge(receive, transmit);
}

}  // namespace flashpost::serial
