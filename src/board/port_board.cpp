#include "board/port_board.h"

namespace flashpost::app {

namespace {

template <class T>
void Fill(SlotTable<T>& table, T value) {
  for (auto& entry : table) entry.store(value);
}

}  // namespace

PortBoard::PortBoard(platform::Clock& clock, platform::SerialSystem& serial)
    : clock_(clock), serial_(serial) {
  Fill<int64_t>(PortHandle, 0);
  for (auto* table : {&ReadEnabled, &ProtocolMode, &ProgressPercent, &VersionSeen,
                      &JobAllImageNoCode, &JobFsa, &JobFwAp, &JobReUpdate, &JobAllImageWithCode,
                      &JobXtalCal, &JobCnoTest, &JobCustomerId, &FixType, &CustomerIdReplySeen,
                      &Reply200Seen, &GsvComplete, &SentencesSeen, &OpenRetrying}) {
    Fill<int32_t>(*table, 0);
  }
  Fill<uint32_t>(StatusColor, kNavy);
  Fill<uint32_t>(TestStatusColor, kNavy);
  Fill<uint32_t>(StartTick, 0);
  Fill<uint32_t>(OpenRetrySince, 0);
  Fill<int32_t>(EphemerisMode, 0);
  Fill<int32_t>(EphemerisSentCount, 0);
  for (auto& pending : PendingResend) pending.Clear();
  for (auto& text : RunBaudText) text.Set("4800");
  for (auto& text : SelectedPorts) text.Set("");
  for (auto* texts : {&OpenFailureText, &OpenPortName}) {
    for (auto& text : *texts) text.Set("");
  }
  for (auto* texts : {&VersionField3, &VersionField4}) {
    for (auto& text : *texts) text.Set("");
  }
  for (auto& text : CustomerIdReply) text.Set("");
  for (int slot = 0; slot < kSlotCount; ++slot) ForgetRun(slot);
  for (auto* tables : {&SatPrn, &SatSnr}) {
    for (auto& slot : *tables) {
      for (auto& entry : slot) entry.store(0);
    }
  }
}

PortBoard::~PortBoard() {
  StopAllThreads();
  for (auto& port : Port) {
    if (auto device = port.Get()) device->Close();
    port.Set(nullptr);
  }
}

void PortBoard::BeginTransfer(int slot, std::string payload) {
  if (!IsSlot(slot)) return;
  auto log = std::make_shared<TransferLog>(*Transfers[slot].Get());
  log->push_back({std::move(payload), false});
  Transfers[slot].Set(std::move(log));
}

void PortBoard::CompleteTransfer(int slot) {
  if (!IsSlot(slot)) return;
  auto log = std::make_shared<TransferLog>(*Transfers[slot].Get());
  if (!log->empty()) log->back().complete = true;
  Transfers[slot].Set(std::move(log));
}

void PortBoard::ForgetRun(int slot) {
  if (!IsSlot(slot)) return;
  Transfers[slot].Set(std::make_shared<const TransferLog>());
  ReportedVersion[slot].Set("");
}

bool PortBoard::AllThreadsFinished() const {
  for (const auto& worker : Worker) {
    if (auto thread = worker.Get(); thread && !thread->Finished()) return false;
  }
  auto reader = TerminalReader.Get();
  return !reader || reader->Finished();
}

void PortBoard::SetStatus(int slot, uint32_t color, std::string text) {
  std::lock_guard lock(status_locks_[slot]);
  StatusColor[slot].store(color);
  StatusText[slot].Set(std::move(text));
}

PortBoard::StatusLine PortBoard::ReadStatus(int slot) const {
  std::lock_guard lock(status_locks_[slot]);
  return {StatusText[slot].Get(), StatusColor[slot].load()};
}

void PortBoard::StopAllThreads() {
  std::vector<std::shared_ptr<ui::Thread>> threads;
  for (auto& worker : Worker) threads.push_back(worker.Get());
  threads.push_back(TerminalReader.Get());
  for (auto& thread : threads) {
    if (thread) thread->Terminate();
  }
  for (auto& thread : threads) {
    if (thread) thread->WaitFor();
  }
}

}  // namespace flashpost::app
