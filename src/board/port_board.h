#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board/colors.h"
#include "board/reference_data.h"
#include "board/shared_value.h"
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

// One payload transfer of a slot's run: which payload went out, and whether the module
// acknowledged every block of it.
struct PayloadTransfer {
  std::string name;
  bool complete = false;
};
using TransferLog = std::vector<PayloadTransfer>;

template <class T>
using SlotTable = std::array<std::atomic<T>, kSlotCount>;
using SlotTexts = std::array<SharedText, kSlotCount>;

// Every value the pages, the timers and the slot workers exchange. Numbers are atomics written
// whole by one side and polled by the other, texts and references are replaced whole; only a
// status line's colour and text go together under a lock. One board per application instance.
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

  // What a run did to the slot's module, for its record: the transfers begun and completed, and
  // the firmware version it reported. Cleared when a run starts on the slot.
  void BeginTransfer(int slot, std::string payload);
  void CompleteTransfer(int slot);
  void ForgetRun(int slot);
  // True when no worker and no terminal reader the board refers to is still running.
  bool AllThreadsFinished() const;

  // A slot's status line, its colour and its text, as one. A worker writes both together
  // (the colour first, so that the text's listener reads the colour it comes in); a reader on
  // another thread never pairs the last line's text with the next line's colour.
  struct StatusLine {
    std::string text;
    uint32_t color = kNavy;
  };
  void SetStatus(int slot, uint32_t color, std::string text);
  StatusLine ReadStatus(int slot) const;

  // Per-slot tables.
  SlotTable<int64_t> PortHandle;  // handle number of the last open; -1 after a failed open
  SlotTable<int32_t> ReadEnabled;
  SlotTable<int32_t> ProtocolMode;  // 0 NMEA, 1 VBI
  SlotTable<int32_t> ProgressPercent;
  SlotTexts StatusText;
  SlotTable<uint32_t> StatusColor;
  // Why the slot's last open failed, in plain words ("no such device", "in use by another
  // program (PID 812, minicom)"), for after its "Cannot open ... port !" status; empty after an
  // open that succeeded or a system that cannot tell. Written before the status text.
  SlotTexts OpenFailureText;
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

  // Filled from the module's NMEA replies by the sentence handlers.
  SlotTexts VersionField3;  // at most 9 characters
  SlotTexts VersionField4;
  std::array<SharedText, kModuleSlotCount> CustomerIdReply;  // at most 32 characters
  SlotTable<int32_t> CustomerIdReplySeen;
  SlotTable<int32_t> Reply200Seen;
  // The first 12 satellites of the latest GSV group; satellite numbers above 32 are stored + 87.
  static constexpr int kGsvSatellites = 12;
  std::array<std::array<std::atomic<int32_t>, kGsvSatellites>, kSlotCount> SatPrn;
  std::array<std::array<std::atomic<int32_t>, kGsvSatellites>, kSlotCount> SatSnr;
  SlotTable<int32_t> GsvComplete;
  // Sentences with a good checksum taken from the slot's module; the C/N0 page clears it at Start.
  SlotTable<int32_t> SentencesSeen;
  std::array<SharedRef<ui::Thread>, kModuleSlotCount> Worker;

  std::array<SharedRef<const TransferLog>, kSlotCount> Transfers;
  SlotTexts ReportedVersion;  // fields 3 and 4 of the version report, "5.1"; empty before

  // The open port of each slot, used by the serial access functions only.
  std::array<SharedRef<platform::SerialDevice>, kSlotCount> Port;
  // The name of the port each slot opened last. `CurrentPortName` is no guide to the terminal
  // slot's port: the automatic page's OK writes its own port there while the terminal stays open.
  SlotTexts OpenPortName;
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

  // The module's NMEA baud text captured when the slot's run started; the firmware update opens
  // the module at it, whatever the shared baud text holds meanwhile.
  SlotTexts RunBaudText;
  SharedText SavedBaudText{"4800"};
  // The speed at which the terminal page last opened its port: the reference receiver's, and the
  // modules' NMEA speed for the multi-port page. Procedures leave the kernel's 115200 in
  // `CurrentBaudText`; this one only the terminal page writes.
  SharedText TerminalBaudText{"4800"};
  // A failed open inside the firmware update: since when the slot has been retrying.
  SlotTable<int32_t> OpenRetrying;
  SlotTable<uint32_t> OpenRetrySince;
  // Held by a slot's worker while a download procedure owns the slot's port, so that the main
  // thread never closes the port under it.
  std::array<std::mutex, kSlotCount> ProcedureLock;

  // Calibration run settings taken from the option group at Start.
  std::atomic<int32_t> OutputProtocolIndex{2};  // 1: VBI after calibration, 2: NMEA
  std::atomic<int32_t> OptionWord{0};
  std::atomic<char> BaudIndexDigit{'2'};

  // VBI aiding of the modules: the reference receiver's data, and per slot what has been sent.
  ReferenceData Reference;
  SlotTable<int32_t> EphemerisMode;       // 0: send the first stored record, 1: the next one
  SlotTable<int32_t> EphemerisSentCount;  // ephemeris messages sent since the sequencer's reset
  std::array<PendingResendRecord, kSlotCount> PendingResend;

 private:
  platform::Clock& clock_;
  platform::SerialSystem& serial_;
  mutable std::array<std::mutex, kSlotCount> status_locks_;
};

}  // namespace flashpost::app
