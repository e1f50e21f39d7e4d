// Slot workers against the simulated module on real pseudo-terminals.
#include <gtest/gtest.h>

#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "sim/simulated_module.h"
#include "ui/headless_loop.h"
#include "workers/port_worker.h"

namespace flashpost {
namespace {

class WorkerSimTest : public ::testing::TestWithParam<int> {
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

TEST_P(WorkerSimTest, TheVersionReportReachesTheStatusLineAndClosesThePort) {
  const int slot = GetParam();
  sim::ModuleOptions options;
  options.version_field3 = "3";
  options.version_field4 = "12";
  sim::SimulatedModule module(options, clock_);
  ASSERT_TRUE(module.ok());
  module.Start();

  ASSERT_EQ(serial::OpenPort(board_, module.PortPath(), "9600", slot), 1);
  board_.JobCnoTest[slot] = 1;  // a port worker reads only during a test job
  worker_ = workers::StartSlotWorker(loop_, board_, procedures_, slot);
  ASSERT_TRUE(protocol::SendProprietarySentence(board_, slot, "PQRV14,8"));

  ASSERT_TRUE(loop_.RunUntil([&] { return board_.ReadEnabled[slot].load() == 0; }, 20'000));
  EXPECT_EQ(board_.VersionSeen[slot].load(), 1);
  EXPECT_EQ(board_.StatusText[slot].Get(), " F/W Ver: 3.12");
  EXPECT_EQ(module.ProbeReplies(), 1);
}

TEST_P(WorkerSimTest, GsvGroupsFillTheSatelliteTables) {
  const int slot = GetParam();
  sim::ModuleOptions options;
  options.satellites = {
      {5, 40, 100, 44}, {12, 10, 200, 31}, {46, 30, 150, 38}, {7, 5, 10, -1}, {19, 70, 300, 50}};
  sim::SimulatedModule module(options, clock_);
  ASSERT_TRUE(module.ok());
  module.Start();
  ASSERT_EQ(serial::OpenPort(board_, module.PortPath(), "9600", slot), 1);
  board_.JobCnoTest[slot] = 1;
  worker_ = workers::StartSlotWorker(loop_, board_, procedures_, slot);

  ASSERT_TRUE(loop_.RunUntil([&] { return board_.GsvComplete[slot].load() == 1; }, 10'000));
  const int prn[] = {5, 12, 46 + 87, 7, 19};
  const int snr[] = {44, 31, 38, 0, 50};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(board_.SatPrn[slot][i].load(), prn[i]) << i;
    EXPECT_EQ(board_.SatSnr[slot][i].load(), snr[i]) << i;
  }
  for (int i = 5; i < 12; ++i) EXPECT_EQ(board_.SatPrn[slot][i].load(), 0) << i;
}

TEST_P(WorkerSimTest, AtTheWrongSpeedNothingIsUnderstood) {
  const int slot = GetParam();
  sim::SimulatedModule module(sim::ModuleOptions{}, clock_);  // talks at 9600
  ASSERT_TRUE(module.ok());
  module.Start();
  ASSERT_EQ(serial::OpenPort(board_, module.PortPath(), "115200", slot), 1);
  board_.JobCnoTest[slot] = 1;
  worker_ = workers::StartSlotWorker(loop_, board_, procedures_, slot);
  ASSERT_TRUE(protocol::SendProprietarySentence(board_, slot, "PQRV14,8"));
  loop_.RunFor(4000);
  EXPECT_EQ(board_.VersionSeen[slot].load(), 0);
  EXPECT_EQ(board_.GsvComplete[slot].load(), 0);
  EXPECT_EQ(board_.ReadEnabled[slot].load(), 1);
}

INSTANTIATE_TEST_SUITE_P(SlotZeroAndAPortSlot, WorkerSimTest, ::testing::Values(0, 4));

}  // namespace
}  // namespace flashpost
