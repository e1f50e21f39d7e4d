#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/colors.h"
#include "app/shared_value.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "ui/thread.h"

namespace flashpost::app {

// Slots 0..7 carry modules, slot 9 the terminal port (also the reference receiver); slot 8 is
// never opened.
inline constexpr int kSlotCount = 10;
inline constexpr int kModuleSlotCount = 8;
inline constexpr int kTerminalSlot = 9;

inline bool IsSlot(int slot) { return slot >= 0 && slot < kSlotCount; }
inline bool IsModuleSlot(int slot) { return slot >= 0 && slot < kModuleSlotCount; }

template <class T>
using SlotTable = std::array<std::atomic<T>, kSlotCount>;
using SlotTexts = std::array<SharedText, kSlotCount>;

// Every value the pages, the timers and the slot workers exchange. There is no lock between
// them: numbers are atomics written whole by one side and polled by the other, texts and
// references are replaced whole. One board per application instance.
class PortBoard {
 public:
  PortBoard(platform::Clock& clock, platform::SerialSystem& serial);
  // Asks every worker and the terminal reader to stop and waits for them, then closes any port
  // still open. The main loop must already be shut down, so that no thread waits on it.
  ~PortBoard();
  PortBoard(const PortBoard&) = delete;
  PortBoard& operator=(const PortBoard&) = delete;

  platform::Clock& Clock() const { return clock_; }
  platform::SerialSystem& Serial() const { return serial_; }

  // Terminates and joins every thread the board refers to.
  void StopAllThreads();

  // Per-slot tables.
  SlotTable<int64_t> PortHandle;  // handle number of the last open; -1 after a failed open
  SlotTable<int32_t> ReadEnabled;
  SlotTable<int32_t> ProtocolMode;  // 0 NMEA, 1 VBI
  SlotTable<int32_t> ProgressPercent;
  SlotTexts StatusText;
  SlotTable<uint32_t> StatusColor;
  SlotTexts TestStatusText;
  SlotTable<uint32_t> TestStatusColor;
  SlotTable<uint32_t> StartTick;
  SlotTable<int32_t> VersionSeen;
  SlotTable<int32_t> JobAllImageNoCode;
  SlotTable<int32_t> JobFsa;
  SlotTable<int32_t> JobFwAp;
  SlotTable<int32_t> JobReUpdate;
  SlotTable<int32_t> JobAllImageWithCode;
  SlotTable<int32_t> JobXtalCal;
  SlotTable<int32_t> JobCnoTest;
  SlotTable<int32_t> JobCustomerId;
  SlotTable<int32_t> FixType;  // 3: the receiver on the slot has a 3D fix
  std::array<SharedRef<ui::Thread>, kModuleSlotCount> Worker;

  // The open port of each slot, used by the serial access functions only.
  std::array<SharedRef<platform::SerialDevice>, kSlotCount> Port;
  std::atomic<int64_t> NextPortHandle{1};

  // Singletons.
  SharedText CurrentPortName{"COM1"};
  SharedText CurrentBaudText{"4800"};
  std::atomic<int32_t> ChipIsSecond{2};
  std::atomic<int32_t> OverallSuccess{0};
  std::atomic<int32_t> AttemptCount{0};
  std::atomic<int32_t> WaitTimeoutMs{10000};
  std::atomic<int32_t> XtalAfterDownload{0};
  SharedText MessageText{" "};
  std::atomic<uint32_t> MessageColor{kNavy};
  SharedText TestMessageText{" "};
  std::atomic<uint32_t> TestMessageColor{kNavy};
  std::array<SharedText, kModuleSlotCount> SelectedPorts;
  std::atomic<int32_t> SelectedPortCount{0};
  std::atomic<int32_t> PortsFound{0};
  std::atomic<int32_t> ReferenceRequestSent{0};
  SharedRef<ui::Thread> TerminalReader;

 private:
  platform::Clock& clock_;
  platform::SerialSystem& serial_;
};

}  // namespace flashpost::app
