// Slot workers against the simulated module on real pseudo-terminals, at several speeds.
#include <gtest/gtest.h>

#include <memory>

#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "sim/simulated_module.h"
#include "ui/headless_loop.h"
#include "workers/port_worker.h"

namespace flashpost {
namespace {

// At the module's speed and at another, on slot 0 and on a port slot.
struct WorkerRun {
  int slot;
  uint32_t module_baud, port_baud;
};

class WorkerSimTest : public ::testing::TestWithParam<WorkerRun> {
 protected:
  void TearDown() override {
    if (worker_) {
      // Served while it stops: it may be waiting in a display call on the main thread.
      worker_->Terminate();
      loop_.RunUntil([&] { return worker_->Finished(); }, 10'000);
      worker_->WaitFor();
    }
  }
  platform::ScaledClock clock_{25.0};
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  workers::WorkerProcedures procedures_;
  std::shared_ptr<workers::SlotWorker> worker_;
};

TEST_P(WorkerSimTest, GsvFillsTheSatelliteTablesAndTheVersionReportClosesThePort) {
  const auto [slot, module_baud, port_baud] = GetParam();
  const bool heard = module_baud == port_baud;
  sim::SimulatedModule module({.baud = module_baud,
                               .version_field3 = "3",
                               .version_field4 = "12",
                               .satellites = {{5, 40, 100, 44},
                                              {12, 10, 200, 31},
                                              {46, 30, 150, 38},
                                              {7, 5, 10, -1},
                                              {19, 70, 300, 50}}},
                              clock_);
  ASSERT_TRUE(module.ok());
  module.Start();
  ASSERT_EQ(serial::OpenPort(board_, module.PortPath(), std::to_string(port_baud), slot), 1);
  board_.JobCnoTest[slot] = 1;  // a port worker reads only during a test job
  worker_ = workers::StartSlotWorker(loop_, board_, procedures_, slot);

  const uint32_t wait_ms = heard ? 20'000 : 4000;
  EXPECT_EQ(loop_.RunUntil([&] { return board_.GsvComplete[slot].load() == 1; }, wait_ms), heard);
  const int prn[] = {5, 12, 46 + 87, 7, 19, 0, 0, 0, 0, 0, 0, 0};
  const int snr[] = {44, 31, 38, 0, 50, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 12 && heard; ++i) {
    EXPECT_EQ(board_.SatPrn[slot][i].load(), prn[i]) << i;
    EXPECT_EQ(board_.SatSnr[slot][i].load(), snr[i]) << i;
  }
  ASSERT_TRUE(protocol::SendProprietarySentence(board_, slot, "PQRV14,8"));
  EXPECT_EQ(loop_.RunUntil([&] { return board_.ReadEnabled[slot].load() == 0; }, wait_ms), heard);
  EXPECT_EQ(board_.VersionSeen[slot].load(), heard ? 1 : 0);
  if (heard) {
    EXPECT_EQ(board_.StatusText[slot].Get(), " F/W Ver: 3.12");
    EXPECT_EQ(module.ProbeReplies(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Speeds, WorkerSimTest,
                         ::testing::Values(WorkerRun{0, 9600, 9600}, WorkerRun{4, 9600, 9600},
                                           WorkerRun{4, 115200, 115200},
                                           WorkerRun{0, 9600, 115200}));

}  // namespace
}  // namespace flashpost
