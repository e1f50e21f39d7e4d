#include "workers/port_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/pty.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"

namespace flashpost::workers {
namespace {

using testing::FakeSerialSystem;

struct Call {
  std::string what;
  std::string port;
  int slot;
  uint32_t tick;
};

// Procedures that only record that they ran.
class Recorder {
 public:
  explicit Recorder(platform::Clock& clock) : clock_(clock) {
    auto record = [this](std::string what, std::atomic<bool>& succeeds) {
      return [this, what, &succeeds](const std::string& port, int slot, const ui::StopSignal&) {
        std::lock_guard lock(mutex_);
        calls_.push_back({what, port, slot, clock_.Ticks()});
        return succeeds.load();
      };
    };
    procedures.UpdateFirmware = record("UpdateFirmware", update_succeeds);
    procedures.ReUpdate = record("ReUpdate", update_succeeds);
    procedures.AllImageDownload = record("AllImageDownload", all_image_succeeds);
  }
  std::vector<Call> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  WorkerProcedures procedures;
  std::atomic<bool> all_image_succeeds{true};
  std::atomic<bool> update_succeeds{false};

 private:
  platform::Clock& clock_;
  std::mutex mutex_;
  std::vector<Call> calls_;
};

class WorkerJobTest : public ::testing::Test {
 protected:
  // Serves the main loop until the condition holds; the manual clock is moved by the worker's
  // own pauses, so the limit is in real time.
  bool Await(const std::function<bool()>& done) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      loop_.ProcessPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // Lets the worker run for this much of its own clock time.
  void RunWorkerFor(uint32_t ms) {
    uint32_t start = clock_.Ticks();
    ASSERT_TRUE(Await([&] { return clock_.Ticks() - start >= ms; }));
  }
  void Stop(const std::shared_ptr<SlotWorker>& worker) {
    worker->Terminate();
    worker->WaitFor();
  }

  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  FakeSerialSystem fake_{{"COM7", "COM8"}};
  app::PortBoard board_{clock_, fake_};
  Recorder recorder_{clock_};
};

TEST_F(WorkerJobTest, SlotZeroRunsUpdateThenReUpdateThenPausesInEveryPass) {
  board_.CurrentPortName.Set("COM7");
  board_.JobFwAp[0] = 1;
  board_.JobReUpdate[0] = 1;
  auto worker = StartSlotWorker(loop_, board_, recorder_.procedures, 0);
  ASSERT_EQ(board_.Worker[0].Get(), worker);
  ASSERT_TRUE(Await([&] { return recorder_.Calls().size() >= 6; }));
  Stop(worker);
  auto calls = recorder_.Calls();
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(calls[i].what, i % 2 == 0 ? "UpdateFirmware" : "ReUpdate") << i;
    EXPECT_EQ(calls[i].port, "COM7");
    EXPECT_EQ(calls[i].slot, 0);
  }
  EXPECT_GE(calls[2].tick - calls[0].tick, 250u);
  EXPECT_GE(calls[4].tick - calls[2].tick, 250u);
}

TEST_F(WorkerJobTest, SlotZeroStartsNoOtherJob) {
  for (auto* job : {&board_.JobAllImageNoCode, &board_.JobFsa, &board_.JobAllImageWithCode,
                    &board_.JobXtalCal, &board_.JobCnoTest, &board_.JobCustomerId}) {
    (*job)[0] = 1;
  }
  auto worker = StartSlotWorker(loop_, board_, recorder_.procedures, 0);
  RunWorkerFor(3000);
  Stop(worker);
  EXPECT_TRUE(recorder_.Calls().empty());
}

TEST_F(WorkerJobTest, DownloadWithoutCalibrationEndsTheWorkerAndClosesThePort) {
  board_.SelectedPorts[3].Set("COM8");
  ASSERT_EQ(serial::OpenPort(board_, "COM8", "115200", 3), 1);
  board_.JobAllImageNoCode[3] = 1;
  auto worker = StartSlotWorker(loop_, board_, recorder_.procedures, 3);
  ASSERT_TRUE(Await([&] { return worker->Finished(); }));
  worker->WaitFor();
  auto calls = recorder_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].what, "AllImageDownload");
  EXPECT_EQ(calls[0].port, "COM8");
  EXPECT_EQ(calls[0].slot, 3);
  EXPECT_EQ(board_.ReadEnabled[3].load(), 0);
  EXPECT_EQ(fake_.Log("COM8")->closes.load(), 1);
}

TEST_F(WorkerJobTest, DownloadWithCalibrationHandsOverToTheCalibrationJob) {
  board_.SelectedPorts[2].Set("COM7");
  board_.RunBaudText[2].Set("9600");
  ASSERT_EQ(serial::OpenPort(board_, "COM7", "115200", 2), 1);  // as the download leaves it
  board_.XtalAfterDownload = 1;
  board_.JobAllImageNoCode[2] = 1;
  uint32_t start = clock_.Ticks();
  auto worker = StartSlotWorker(loop_, board_, recorder_.procedures, 2);
  ASSERT_TRUE(Await([&] { return board_.JobXtalCal[2].load() == 1; }));
  EXPECT_GE(clock_.Ticks() - start, 2500u);
  EXPECT_EQ(board_.JobAllImageNoCode[2].load(), 0);
  EXPECT_EQ(fake_.Log("COM7")->baud.load(), 9600u) << "the module reports at its own speed";
  EXPECT_EQ(fake_.Log("COM7")->closes.load(), 0) << "its first reports wait in the port";
  RunWorkerFor(1000);
  EXPECT_FALSE(worker->Finished()) << "the worker stays for the calibration";
  Stop(worker);
  EXPECT_EQ(recorder_.Calls().size(), 1u);
}

TEST_F(WorkerJobTest, FailedDownloadIsNotFollowedByACalibration) {
  board_.SelectedPorts[2].Set("COM7");
  ASSERT_EQ(serial::OpenPort(board_, "COM7", "115200", 2), 1);
  board_.XtalAfterDownload = 1;
  board_.JobAllImageNoCode[2] = 1;
  recorder_.all_image_succeeds = false;
  auto worker = StartSlotWorker(loop_, board_, recorder_.procedures, 2);
  ASSERT_TRUE(Await([&] { return worker->Finished(); }));
  worker->WaitFor();
  EXPECT_EQ(board_.JobXtalCal[2].load(), 0);
  EXPECT_EQ(board_.ReadEnabled[2].load(), 0) << "the port is given back";
  EXPECT_EQ(recorder_.Calls().size(), 1u);
}

TEST_F(WorkerJobTest, MultiPortSlotZeroServesEveryDownloadJob) {
  board_.SelectedPorts[0].Set("COM8");
  board_.CurrentPortName.Set("COM7");  // the terminal page's port: never the module's
  for (auto* job : {&board_.JobAllImageNoCode, &board_.JobFsa, &board_.JobAllImageWithCode}) {
    board_.JobAllImageNoCode[0] = 0;
    board_.JobFsa[0] = 0;
    board_.JobAllImageWithCode[0] = 0;
    (*job)[0] = 1;
    auto before = recorder_.Calls().size();
    auto worker = StartSlotWorker(loop_, board_, recorder_.procedures, 0, WorkerKind::kMultiPort);
    ASSERT_TRUE(Await([&] { return worker->Finished(); }));
    worker->WaitFor();
    auto calls = recorder_.Calls();
    ASSERT_EQ(calls.size(), before + 1);
    EXPECT_EQ(calls.back().what,
              job == &board_.JobAllImageNoCode ? "AllImageDownload" : "UpdateFirmware");
    EXPECT_EQ(calls.back().port, "COM8");
    EXPECT_EQ(calls.back().slot, 0);
  }
}

TEST_F(WorkerJobTest, FirmwareJobsRunOnceAndEndTheWorker) {
  for (auto* job : {&board_.JobFwAp, &board_.JobFsa, &board_.JobAllImageWithCode}) {
    board_.JobFwAp[5] = 0;
    board_.JobFsa[5] = 0;
    board_.JobAllImageWithCode[5] = 0;
    (*job)[5] = 1;
    board_.SelectedPorts[5].Set("COM7");
    auto before = recorder_.Calls().size();
    auto worker = StartSlotWorker(loop_, board_, recorder_.procedures, 5);
    ASSERT_TRUE(Await([&] { return worker->Finished(); }));
    worker->WaitFor();
    auto calls = recorder_.Calls();
    ASSERT_EQ(calls.size(), before + 1);
    EXPECT_EQ(calls.back().what, "UpdateFirmware");
    EXPECT_EQ(calls.back().port, "COM7");
  }
}

TEST_F(WorkerJobTest, NoDownloadWhileTestAndCustomerIdAreBothSet) {
  board_.JobCnoTest[4] = 1;
  board_.JobCustomerId[4] = 1;
  board_.JobFwAp[4] = 1;
  board_.JobAllImageNoCode[4] = 1;
  auto worker = StartSlotWorker(loop_, board_, recorder_.procedures, 4);
  RunWorkerFor(2000);
  EXPECT_FALSE(worker->Finished());
  Stop(worker);
  EXPECT_TRUE(recorder_.Calls().empty());
}

TEST_F(WorkerJobTest, OnlyModuleSlotsGetWorkers) {
  EXPECT_EQ(StartSlotWorker(loop_, board_, recorder_.procedures, 8), nullptr);
  EXPECT_EQ(StartSlotWorker(loop_, board_, recorder_.procedures, 9), nullptr);
  EXPECT_EQ(StartSlotWorker(loop_, board_, recorder_.procedures, -1), nullptr);
}

// Workers reading a real pseudo-terminal, the far end played by the test.
class WorkerReadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.ok()); }
  void TearDown() override {
    if (worker_) {
      // Served while it stops: it may be waiting in a display call on the main thread.
      worker_->Terminate();
      loop_.RunUntil([&] { return worker_->Finished(); }, 10'000);
      worker_->WaitFor();
    }
  }
  bool ServeUntil(const std::function<bool()>& done) { return loop_.RunUntil(done, 20'000); }

  static std::string Sentence(const std::string& body) {
    uint8_t x = 0;
    for (char c : body) x ^= static_cast<uint8_t>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", x);
    return "$" + body + tail;
  }

  platform::ScaledClock clock_{20.0};
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  WorkerProcedures procedures_;
  platform::PseudoTerminal pty_;
  std::shared_ptr<SlotWorker> worker_;
};

TEST_F(WorkerReadTest, ASilentLineInsideASentenceDoesNotRepeatBytes) {
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "9600", 0), 1);
  worker_ = StartSlotWorker(loop_, board_, procedures_, 0);
  std::string reply = Sentence("PQRV100,KX420,BOOT,34,1,0");
  size_t cut = reply.find(",34") + 2;  // between the "3" and the "4"
  ASSERT_TRUE(pty_.Send(reply.substr(0, cut)));
  clock_.Sleep(1500);  // fifteen read time-outs with nothing on the line
  ASSERT_TRUE(pty_.Send(reply.substr(cut)));
  ASSERT_TRUE(ServeUntil([&] { return board_.VersionSeen[0].load() == 1; }));
  EXPECT_EQ(board_.StatusText[0].Get(), " F/W Ver: 34.1");
  EXPECT_TRUE(ServeUntil([&] { return board_.ReadEnabled[0].load() == 0; }))
      << "the version report closes the port";
}

TEST_F(WorkerReadTest, AnOverrunDoesNotEndTheWorker) {
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "9600", 6), 1);
  board_.JobCnoTest[6] = 1;
  worker_ = StartSlotWorker(loop_, board_, procedures_, 6);
  // Sent in pieces that stay under the stale-input limit, so the worker sees every byte.
  ASSERT_TRUE(pty_.Send("$GP"));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(pty_.Send(std::string(300, 'x')));
    clock_.Sleep(400);
  }
  ASSERT_TRUE(pty_.Send(Sentence("PQRV100,KX420,BOOT,7,2,0")));
  ASSERT_TRUE(ServeUntil([&] { return board_.VersionSeen[6].load() == 1; }));
  EXPECT_EQ(board_.StatusText[6].Get(), " F/W Ver: 7.2");
  EXPECT_FALSE(worker_->Finished());
}

TEST_F(WorkerReadTest, APortWorkerWithoutATestJobDoesNotRead) {
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "9600", 1), 1);
  worker_ = StartSlotWorker(loop_, board_, procedures_, 1);
  ASSERT_TRUE(pty_.Send(Sentence("PQRV100,KX420,BOOT,7,2,0")));
  loop_.RunFor(2000);
  EXPECT_EQ(board_.VersionSeen[1].load(), 0);
  board_.JobXtalCal[1] = 1;
  ASSERT_TRUE(ServeUntil([&] { return board_.VersionSeen[1].load() == 1; }));
}

TEST_F(WorkerReadTest, SlotZeroShowsEveryHandOverOnTheMainThread) {
  int shown = 0;
  std::string last;
  procedures_.ShowTraffic = [&](FrameState& state) {
    EXPECT_TRUE(loop_.IsMainThread());
    ++shown;
    last = state.SentenceBuffer.data();
  };
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "9600", 0), 1);
  worker_ = StartSlotWorker(loop_, board_, procedures_, 0);
  ASSERT_TRUE(pty_.Send(Sentence("GPGSA,A,3,,,,,,,,,,,,,1.0,1.0,1.0") +
                        Sentence("GLGSV,1,1,01,65,10,010,30")));
  ASSERT_TRUE(ServeUntil([&] { return shown == 1; }));
  EXPECT_EQ(last.rfind("$GPGSA,A,3", 0), 0u);
  EXPECT_EQ(last.back(), '\r');
  loop_.RunFor(1000);
  EXPECT_EQ(shown, 1) << "another talker's sentence is not shown";
}

}  // namespace
}  // namespace flashpost::workers
