#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pty.h"
#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"
#include "workers/framing.h"
#include "workers/port_worker.h"

namespace flashpost::workers {
namespace {

// Drives a framer the way a reader does: one Feed per byte read; the payload of a VBI frame is
// pulled by the framer itself from the rest of the bytes in the port. A port with nothing left
// is a silent line that costs 100 ms of clock time per read. Each hand-over, a sentence or a
// whole frame buffer, is logged after the "display" that must come before it.
class FramerRig {
 public:
  FramerRig()
      : framer_(Framer::Hooks{
            .mode = [this] { return mode; },
            .display = [this] { handed.emplace_back("display"); },
            .sentence = [this](std::string_view s) { handed.emplace_back(s); },
            .frame = [this](const uint8_t* f) { handed.emplace_back(f, f + kVbiFrameBufferSize); },
            .read_byte = [this] { return Next(100); },
            .now = [this] { return clock.Ticks(); },
            .stop_requested = [this] { return stop; },
        }) {}

  void Feed(const std::string& bytes) {
    port.insert(port.end(), bytes.begin(), bytes.end());
    while (auto b = Next(0)) framer_.Feed(*b);
  }
  std::optional<uint8_t> Next(uint32_t silence_ms) {
    if (port.empty()) {
      clock.Advance(silence_ms);
      return std::nullopt;
    }
    const uint8_t b = port.front();
    port.pop_front();
    return b;
  }

  int mode = 0;
  bool stop = false;
  platform::ManualClock clock;
  std::deque<uint8_t> port;
  std::vector<std::string> handed;
  Framer framer_;
};

// A VBI frame: 0x81 0xFF, id, sub-ID, payload length, a checksum the framing ignores, payload.
std::string VbiFrame(char id, const std::string& payload) {
  const auto n = static_cast<uint16_t>(payload.size());
  return std::string{'\x81', '\xFF', id, 0, static_cast<char>(n), static_cast<char>(n >> 8), 0, 0} +
         payload;
}

TEST(FramingTest, ByteStreamsIntoSentencesAndFrames) {
  const std::string overrun = "$GP" + std::string(1500, 'x');  // no line feed anywhere
  const std::string full = "$GP" + std::string(kSentenceBufferSize - 4, 'z');  // 1024 with the LF
  const std::string longest = VbiFrame(0x17, std::string(kMaxVbiPayload, 0x55));
  const std::string too_long = std::string{'\x81', 0x15, 0, 0, '\xF8', 0x03, 0, 0} + "\x01\x02";
  const struct {
    std::vector<std::pair<int, std::string>> steps;  // the protocol mode, then the bytes read
    std::vector<std::string> handed;                 // sentences, and frames without their zeros
  } cases[] = {
      // clang-format off
      // Sentences keep their CR and lose the LF; other talkers are dropped up to the next "$".
      {{{0, "$GPGGA,123519,4807.038,N*47\r\n$GLGSV,3,1,11,65,12,034,22*60\r\n$BDGSA,A,3*00\r\n"
            "$PQRV100,A,B,5,1*00\n"}},
       {"$GPGGA,123519,4807.038,N*47\r", "$PQRV100,A,B,5,1*00"}},
      // A "$" inside a sentence restarts it; no older bytes leak behind the new one.
      {{{0, "$GPGGA,123519,4807.0$GPRMC,1*00\r\n$GPG"}, {0, "SA,A,3"}, {0, "*00\r\n"}},
       {"$GPRMC,1*00\r", "$GPGSA,A,3*00\r"}},
      // An overrun drops the partial sentence; its tail is not a sentence.
      {{{0, overrun}, {0, "yyy\r\n$GPGSA,A,3*00\r\n"}, {0, overrun}}, {"$GPGSA,A,3*00\r"}},
      {{{0, full + "\n$GPTXT,\x81\x81,x*00\r\n"}}, {full, "$GPTXT,\x81\x81,x*00\r"}},
      {{{1, "$GPGGA,1*00\r\n" + VbiFrame(0x79, "") + VbiFrame(0x15, "\x01\x02\x03")}},
       {VbiFrame(0x79, ""), VbiFrame(0x15, "\x01\x02\x03")}},
      // The start byte restarts a header but is data inside a payload.
      {{{1, "\x81\x15"}, {1, std::string(1, 0) + VbiFrame(0x16, "\x81\x81\x24")}},
       {VbiFrame(0x16, "\x81\x81\x24")}},
      // A length beyond the limit is dropped at once, not waited for; the longest one completes.
      {{{1, too_long + VbiFrame(0x16, "\x07") + longest}}, {VbiFrame(0x16, "\x07"), longest}},
      // The mode is read at every byte; a frame cut by a switch is dropped, not completed by the
      // bytes after the switch back.
      {{{0, "$GPGSA,A,3*00\r\n"}, {1, VbiFrame(0x15, "")}, {0, "$PQRV200*00\r\n"}},
       {"$GPGSA,A,3*00\r", VbiFrame(0x15, ""), "$PQRV200*00\r"}},
      {{{1, "\x81\x15"}, {1, std::string(1, 0)}, {0, "xyz"}, {1, std::string(2, 0)},
        {1, VbiFrame(0x16, "")}}, {VbiFrame(0x16, "")}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    FramerRig rig;
    for (const auto& [mode, bytes] : c.steps) {
      rig.mode = mode;
      rig.Feed(bytes);
    }
    std::vector<std::string> expected;
    for (std::string h : c.handed) {
      if (h[0] == '\x81') h.resize(kVbiFrameBufferSize, '\0');
      expected.insert(expected.end(), {"display", h});
    }
    EXPECT_EQ(rig.handed, expected);
    EXPECT_EQ(rig.framer_.State().VbiMessageCounter,
              std::ranges::count(c.handed, '\x81', [](const std::string& h) { return h[0]; }));
    const auto& buffer = rig.framer_.State().SentenceBuffer;
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](char b) { return b == 0; }))
        << "a hand-over or a drop leaves the sentence buffer clear";
  }
}

TEST(FramingTest, APayloadThatFallsSilentOrIsStoppedIsDropped) {
  for (bool stop : {false, true}) {
    FramerRig rig;
    rig.mode = 1;
    rig.stop = stop;
    rig.Feed(VbiFrame(0x15, "\x01\x02\x03\x04").substr(0, 10));  // two payload bytes never come
    EXPECT_TRUE(rig.handed.empty());
    // A stop request ends the payload read at once, without a read; silence after one second.
    EXPECT_GE(rig.clock.Ticks(), stop ? 0 : kVbiPayloadSilenceMs);
    EXPECT_LT(rig.clock.Ticks(), stop ? 1 : kVbiPayloadSilenceMs + 200);
    rig.stop = false;
    rig.Feed(VbiFrame(0x16, "\x09"));
    ASSERT_EQ(rig.handed.size(), 2u);
    EXPECT_EQ(rig.handed[1].substr(0, 9), VbiFrame(0x16, "\x09"));
  }
}

using app::PortBoard;
using Job = app::SlotTable<int32_t> PortBoard::*;

class WorkerJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto record = [this](std::string what, bool& succeeds) {
      return [this, what, &succeeds](const std::string& port, int slot, const ui::StopSignal&) {
        std::lock_guard lock(mutex_);
        calls_.push_back(what + " " + port + " " + std::to_string(slot));
        ticks_.push_back(clock_.Ticks());
        return succeeds;
      };
    };
    procedures_.UpdateFirmware = record("UpdateFirmware", update_succeeds_);
    procedures_.ReUpdate = record("ReUpdate", update_succeeds_);
    procedures_.AllImageDownload = record("AllImageDownload", download_succeeds_);
    board_.CurrentPortName.Set("COM7");  // the automatic page's port
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // Serves the main loop until the condition holds; the manual clock is moved by the worker's
  // own pauses, so the limit is in real time.
  bool Await(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      loop_.ProcessPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  testing::FakeSerialSystem fake_{{"COM7", "COM8"}};
  PortBoard board_{clock_, fake_};
  WorkerProcedures procedures_;
  bool update_succeeds_ = false;
  bool download_succeeds_ = true;
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<uint32_t> ticks_;
};

TEST_F(WorkerJobTest, DownloadJobsRunOnceOnTheSelectedPortAndEndTheWorker) {
  const struct {
    int slot;
    WorkerKind kind;
    Job job;
    const char* procedure;
  } cases[] = {
      {5, WorkerKind::kAutomatic, &PortBoard::JobFwAp, "UpdateFirmware"},
      {6, WorkerKind::kAutomatic, &PortBoard::JobFsa, "UpdateFirmware"},
      {7, WorkerKind::kAutomatic, &PortBoard::JobAllImageWithCode, "UpdateFirmware"},
      {3, WorkerKind::kAutomatic, &PortBoard::JobAllImageNoCode, "AllImageDownload"},
      {0, WorkerKind::kMultiPort, &PortBoard::JobAllImageNoCode, "AllImageDownload"},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    board_.SelectedPorts[c.slot].Set("COM8");
    ASSERT_EQ(serial::OpenPort(board_, "COM8", "115200", c.slot), 1);
    (board_.*c.job)[c.slot] = 1;
    auto worker = StartSlotWorker(loop_, board_, procedures_, c.slot, c.kind);
    ASSERT_EQ(board_.Worker[c.slot].Get(), worker);
    ASSERT_TRUE(Await([&] { return worker->Finished(); }));
    worker->WaitFor();
    expected.push_back(std::string(c.procedure) + " COM8 " + std::to_string(c.slot));
    EXPECT_EQ(Calls(), expected);
    EXPECT_EQ(board_.ReadEnabled[c.slot].load(), 0) << "the port is given back";
  }
}

TEST_F(WorkerJobTest, WorkersThatStartNoDownloadAndRetiringThem) {
  // Slot 0's automatic worker serves only the firmware and re-update jobs; a port worker starts
  // no download while the test and the customer ID are both set.
  for (Job job :
       {&PortBoard::JobAllImageNoCode, &PortBoard::JobFsa, &PortBoard::JobAllImageWithCode,
        &PortBoard::JobXtalCal, &PortBoard::JobCnoTest, &PortBoard::JobCustomerId}) {
    (board_.*job)[0] = (board_.*job)[4] = 1;
  }
  board_.JobFwAp[4] = 1;
  ASSERT_EQ(serial::OpenPort(board_, "COM8", "9600", 4), 1);
  const auto zero = StartSlotWorker(loop_, board_, procedures_, 0);
  const auto four = StartSlotWorker(loop_, board_, procedures_, 4);
  ASSERT_TRUE(Await([&] { return clock_.Ticks() >= 3000; }));
  EXPECT_FALSE(zero->Finished() || four->Finished());
  EXPECT_TRUE(Calls().empty());
  // Retiring stops both and closes the port the stopped worker leaves open.
  EXPECT_TRUE(RetireRunningWorkers(loop_, board_, 5));
  EXPECT_TRUE(zero->Finished() && four->Finished());
  EXPECT_EQ(board_.ReadEnabled[4].load(), 0);
  EXPECT_EQ(fake_.Log("COM8")->closes.load(), 1);
  for (int slot : {8, 9, -1}) EXPECT_EQ(StartSlotWorker(loop_, board_, procedures_, slot), nullptr);
}

TEST_F(WorkerJobTest, SlotZeroRunsUpdateThenReUpdateWithAPauseInEveryPass) {
  board_.JobFwAp[0] = 1;
  board_.JobReUpdate[0] = 1;
  auto worker = StartSlotWorker(loop_, board_, procedures_, 0);
  ASSERT_TRUE(Await([&] { return Calls().size() >= 6; }));
  worker->Terminate();
  worker->WaitFor();
  const auto calls = Calls();
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(calls[i], i % 2 == 0 ? "UpdateFirmware COM7 0" : "ReUpdate COM7 0") << i;
    EXPECT_GE(ticks_[i] - ticks_[i < 2 ? i : i - 2], i < 2 ? 0u : 250u) << i;
  }
}

TEST_F(WorkerJobTest, ADownloadHandsOverToTheCalibrationOnlyWhenItSucceeded) {
  board_.SelectedPorts[2].Set("COM7");
  board_.RunBaudText[2].Set("9600");
  board_.XtalAfterDownload = 1;
  for (bool succeeds : {false, true}) {
    download_succeeds_ = succeeds;
    ASSERT_EQ(serial::OpenPort(board_, "COM7", "115200", 2), 1);  // as the download leaves it
    board_.JobAllImageNoCode[2] = 1;
    const uint32_t start = clock_.Ticks();
    auto worker = StartSlotWorker(loop_, board_, procedures_, 2);
    // A success hands over by ending the download job.
    ASSERT_TRUE(Await([&] { return worker->Finished() || board_.JobAllImageNoCode[2] == 0; }));
    EXPECT_EQ(board_.JobXtalCal[2].load(), succeeds ? 1 : 0);
    // A failed download gives the port back; after a success its first reports wait in it.
    EXPECT_EQ(fake_.Log("COM7")->closes.load(), 1);
    if (!succeeds) {
      worker->WaitFor();
      continue;
    }
    EXPECT_GE(clock_.Ticks() - start, 2500u);
    EXPECT_EQ(fake_.Log("COM7")->baud.load(), 9600u) << "the module reports at its own speed";
    ASSERT_TRUE(Await([&] { return clock_.Ticks() - start >= 3500; }));
    EXPECT_FALSE(worker->Finished()) << "the worker stays for the calibration";
    worker->Terminate();
    worker->WaitFor();
  }
  EXPECT_EQ(Calls(),
            (std::vector<std::string>{"AllImageDownload COM7 2", "AllImageDownload COM7 2"}));
}

// "$", the body, "*", its checksum, CR LF.
constexpr auto Sentence = &protocol::FrameProprietarySentence;

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
  void Start(int slot) {
    ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "9600", slot), 1);
    worker_ = StartSlotWorker(loop_, board_, procedures_, slot);
  }
  bool ServeUntil(const std::function<bool()>& done) { return loop_.RunUntil(done, 20'000); }

  platform::ScaledClock clock_{20.0};
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  PortBoard board_{clock_, *host_};
  WorkerProcedures procedures_;
  platform::PseudoTerminal pty_;
  std::shared_ptr<SlotWorker> worker_;
};

TEST_F(WorkerReadTest, APortWorkerReadsOnlyForATestOrCalibrationJob) {
  Start(1);
  ASSERT_TRUE(pty_.Send(Sentence("PQRV100,KX420,BOOT,7,2,0")));
  loop_.RunFor(2000);
  EXPECT_EQ(board_.VersionSeen[1].load(), 0);
  board_.JobXtalCal[1] = 1;
  ASSERT_TRUE(ServeUntil([&] { return board_.VersionSeen[1].load() == 1; }));
}

TEST_F(WorkerReadTest, SlotZeroShowsEveryHandOverOnTheMainThread) {
  std::vector<std::string> shown;
  procedures_.ShowTraffic = [&](FrameState& state) {
    EXPECT_TRUE(loop_.IsMainThread());
    shown.emplace_back(state.SentenceBuffer.data());
  };
  Start(0);
  const std::string gsa = Sentence("GPGSA,A,3,,,,,,,,,,,,,1.0,1.0,1.0");
  const std::string reply = Sentence("PQRV100,KX420,BOOT,34,1,0");
  const size_t cut = reply.find(",34") + 2;  // between the "3" and the "4"
  // Another talker's sentence is not shown; a silent line inside a sentence repeats no bytes.
  ASSERT_TRUE(pty_.Send(gsa + Sentence("GLGSV,1,1,01,65,10,010,30") + reply.substr(0, cut)));
  clock_.Sleep(1500);  // fifteen read time-outs with nothing on the line
  ASSERT_TRUE(pty_.Send(reply.substr(cut)));
  ASSERT_TRUE(ServeUntil([&] { return board_.VersionSeen[0].load() == 1; }));
  EXPECT_EQ(board_.StatusText[0].Get(), " F/W Ver: 34.1");
  EXPECT_TRUE(ServeUntil([&] { return board_.ReadEnabled[0].load() == 0; }))
      << "the version report closes the port";
  EXPECT_EQ(shown, (std::vector<std::string>{gsa.substr(0, gsa.size() - 1),
                                             reply.substr(0, reply.size() - 1)}));
}

}  // namespace
}  // namespace flashpost::workers
