// A VBI module's crystal calibration end to end: the simulated module on slot 1, the simulated
// reference receiver on the terminal page's port, the whole program between them on real
// pseudo-terminals and threads.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/application.h"
#include "serial/serial_port.h"
#include "sim/reference_receiver.h"
#include "sim/simulated_module.h"
#include "ui/headless_loop.h"
#include "workers/port_worker.h"

namespace flashpost {
namespace {

constexpr int kSlot = 1;
// Long enough for a loaded machine under a sanitizer; a healthy run takes a few seconds.
constexpr uint32_t kRunLimitMs = 120'000;

class CalibrationSimTest : public ::testing::Test {
 protected:
  // The reference receiver opened on the terminal page in NMEA and switched to VBI, as an
  // engineer prepares the station.
  void OpenTheReference() {
    reference_ = std::make_unique<sim::SimulatedReference>(sim::ReferenceOptions{}, clock_);
    ASSERT_TRUE(reference_->ok());
    reference_->Start();
    auto& page = form().TerminalPage;
    page.ComboBox1.SetText(reference_->PortPath());
    page.ComboBox2.SetText("115200");
    page.ComboBox4.SetItemIndex(0);
    page.Button3.Click();
    ASSERT_EQ(board().ReadEnabled[app::kTerminalSlot].load(), 1);
    page.Button6.Click();
    // Generous: the switch is two sentences half a second apart, but a loaded machine may
    // leave the simulator's thread waiting.
    ASSERT_TRUE(loop_.RunUntil([&] { return reference_->SpeaksVbi(); }, 60'000));
  }

  // What the multi-port page's Start prepares for a calibration run, for one module.
  void StartTheModule(sim::ModuleOptions options) {
    module_ = std::make_unique<sim::SimulatedModule>(std::move(options), clock_);
    ASSERT_TRUE(module_->ok());
    module_->Start();
    board().WaitTimeoutMs = 35'000;
    board().OutputProtocolIndex = 1;  // the module goes on in VBI
    board().ReferenceRequestSent = 0;
    form().Calibration.ResetSlotTables();
    board().ProtocolMode[kSlot] = 1;
    board().SelectedPorts[kSlot].Set(module_->PortPath());
    ASSERT_EQ(serial::OpenPort(board(), module_->PortPath(), "115200", kSlot), 1);
    board().JobXtalCal[kSlot] = 1;
    // Slot 0's worker, idle on a closed port, stands for the run's first slot: the reference
    // is asked for its ephemerides only while it exists.
    for (int slot : {0, kSlot}) {
      board().Worker[slot].Set(workers::StartSlotWorker(loop_, board(), form().Procedures, slot));
    }
    form().Timer1.SetTimerEnabled(true);
  }

  bool WaitForStatus(const std::string& text) {
    return loop_.RunUntil([&] { return board().StatusText[kSlot].Get() == text; }, kRunLimitMs);
  }

  void TearDown() override { application_.Close(); }

  app::PortBoard& board() { return application_.Board(); }
  app::TMainForm& form() { return application_.Form(); }

  platform::ScaledClock clock_{20.0};
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::Application application_{clock_, *host_, loop_};
  std::unique_ptr<sim::SimulatedReference> reference_;
  std::unique_ptr<sim::SimulatedModule> module_;
};

sim::ModuleOptions VbiModule() {
  sim::ModuleOptions options;
  options.baud = 115200;
  options.vbi.at_boot = true;
  options.vbi.stay_in_vbi = true;
  return options;
}

TEST_F(CalibrationSimTest, AModuleCalibratesWithTheReferencesAiding) {
  ASSERT_NO_FATAL_FAILURE(OpenTheReference());
  ASSERT_NO_FATAL_FAILURE(StartTheModule(VbiModule()));

  ASSERT_TRUE(WaitForStatus(" F3 Success - 4(Test OK!)")) << board().StatusText[kSlot].Get();
  EXPECT_EQ(board().StatusColor[kSlot].load(), app::kNavy);
  const sim::VbiActivity seen = module_->Vbi();
  EXPECT_GE(seen.pvts_received, 1);
  EXPECT_EQ(seen.pvts_acknowledged, seen.pvts_received);
  EXPECT_EQ(seen.damaged_ephemerides, 0) << "records reach the module as the reference sent them";
  EXPECT_TRUE(seen.refused.empty());
  EXPECT_EQ(reference_->EphemerisRequests(), 1) << "asked once the reference has its 3D fix";
  EXPECT_GT(reference_->EphemerisReportsSent(), 0);

  // The verdict stays while the module goes on reporting its position.
  loop_.RunFor(40'000);
  EXPECT_EQ(board().StatusText[kSlot].Get(), " F3 Success - 4(Test OK!)");
}

TEST_F(CalibrationSimTest, AWrongPhaseFailsTheModuleAndStopsItsSlot) {
  ASSERT_NO_FATAL_FAILURE(OpenTheReference());
  sim::ModuleOptions options = VbiModule();
  options.vbi.phases = {7, 6, 5, 0};  // it never starts calibrating
  ASSERT_NO_FATAL_FAILURE(StartTheModule(options));

  ASSERT_TRUE(WaitForStatus(" F2 Failure - 3(Test Fail!) ")) << board().StatusText[kSlot].Get();
  EXPECT_EQ(board().StatusColor[kSlot].load(), app::kRed);
  EXPECT_TRUE(loop_.RunUntil([&] { return board().ReadEnabled[kSlot].load() == 0; }, 10'000))
      << "the failed slot's port is closed";
}

TEST_F(CalibrationSimTest, AnUnacknowledgedPvtIsResentUntilTheRunTimesOut) {
  ASSERT_NO_FATAL_FAILURE(OpenTheReference());
  sim::ModuleOptions options = VbiModule();
  options.vbi.acknowledge_pvt = false;
  ASSERT_NO_FATAL_FAILURE(StartTheModule(options));

  ASSERT_TRUE(WaitForStatus("Time out : 35S")) << board().StatusText[kSlot].Get();
  EXPECT_EQ(board().StatusColor[kSlot].load(), app::kRed);
  EXPECT_GE(module_->Vbi().pvts_received, 10) << "resent every two seconds";
}

}  // namespace
}  // namespace flashpost
