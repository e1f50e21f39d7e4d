#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "gui/desktop.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/simulated_module.h"

namespace flashpost::gui {
namespace {

// The machine's serial system with the simulated module's port among its ports, as
// FLASHPOST_PORTS puts it there for the program.
class HostWithPort final : public platform::SerialSystem {
 public:
  explicit HostWithPort(std::string port) : port_(std::move(port)) {}
  std::unique_ptr<platform::SerialDevice> Open(const std::string& name, platform::Clock& clock,
                                               uint32_t read_timeout_ms) override {
    return host_->Open(name, clock, read_timeout_ms);
  }
  std::vector<std::string> ListPorts() override {
    auto ports = host_->ListPorts();
    ports.push_back(port_);
    return ports;
  }

 private:
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  std::string port_;
};

// The main job as an operator does it: one module on a pseudo-terminal, the whole program on a
// clock twenty times as fast as the wall's, and nothing but mouse and keyboard on the window.
class WindowSimTest : public ::testing::Test {
 protected:
  void Start(sim::ModuleOptions options) {
    module_ = std::make_unique<sim::SimulatedModule>(std::move(options), clock_);
    ASSERT_TRUE(module_->ok());
    module_->Start();
    serial_ = std::make_unique<HostWithPort>(module_->PortPath());
    session_ = std::make_unique<DesktopSession>(clock_, *serial_);
    session_->Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&session_->Window()));
    label63_ = Find<QLabel>("Label63");
    label64_ = Find<QLabel>("Label64");
    bar_ = Find<QProgressBar>("ProgressBar17");
    ok_ = Find<QPushButton>("Button13");
    ASSERT_TRUE(label63_ && label64_ && bar_ && ok_);
    QObject::connect(bar_, &QProgressBar::valueChanged, [this](int v) { progress_.insert(v); });
  }

  void TearDown() override {
    if (session_) session_->Window().close();
    session_.reset();
    module_.reset();
  }

  template <class W>
  W* Find(const char* name) {
    W* w = session_->Window().findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  // Scan ComPort, the module's port picked from the list, its baud rate typed, OK.
  void ChooseTheModuleAndPressOk() {
    QTest::mouseClick(Find<QPushButton>("Button12"), Qt::LeftButton);
    auto* ports = Find<QComboBox>("ComboBox6");
    ASSERT_NE(ports->findText(QString::fromStdString(module_->PortPath())), -1);
    for (int i = 0; i < ports->count() && ports->currentText() != module_->PortPath().c_str();
         ++i) {
      QTest::keyClick(ports, Qt::Key_Down);
    }
    auto& page = session_->Application().Form().AutoPage;
    ASSERT_EQ(page.ComboBox6.Text(), module_->PortPath());
    auto* bauds = Find<QComboBox>("ComboBox9");
    bauds->lineEdit()->selectAll();
    QTest::keyClicks(bauds->lineEdit(), "9600");
    ASSERT_EQ(page.ComboBox9.Text(), "9600");
    QTest::mouseClick(ok_, Qt::LeftButton);
    EXPECT_FALSE(ok_->isEnabled()) << "OK is taken away while the run goes on";
  }

  // Serves the window until Label63 shows the text; every text it showed on the way is kept.
  bool WaitForStatus(const QString& text, uint32_t limit_ms) {
    return session_->Loop().RunUntil(
        [&] {
          if (shown_.empty() || shown_.back() != label63_->text())
            shown_.push_back(label63_->text());
          return label63_->text() == text;
        },
        limit_ms);
  }

  std::string Shown() const {
    std::string all;
    for (const auto& s : shown_) all += "[" + s.toStdString() + "] ";
    return all;
  }

  platform::ScaledClock clock_{20.0};
  std::unique_ptr<sim::SimulatedModule> module_;
  std::unique_ptr<HostWithPort> serial_;
  std::unique_ptr<DesktopSession> session_;
  QLabel* label63_ = nullptr;
  QLabel* label64_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPushButton* ok_ = nullptr;
  std::set<int> progress_;
  std::vector<QString> shown_;
};

// Long enough for a loaded machine under a sanitizer; a healthy run takes well under a minute.
constexpr uint32_t kRunLimitMs = 15 * 60 * 1000;

TEST_F(WindowSimTest, OkUpdatesALiveModuleAndShowsItInGreen) {
  sim::ModuleOptions options;
  options.baud = 9600;
  Start(options);
  ASSERT_NO_FATAL_FAILURE(ChooseTheModuleAndPressOk());

  ASSERT_TRUE(WaitForStatus(" FW(AP) update OK!(OK)", kRunLimitMs)) << Shown();
  EXPECT_EQ(label63_->palette().color(QPalette::WindowText), QColor(0, 128, 0));
  EXPECT_EQ(bar_->value(), 100);
  EXPECT_EQ(label64_->text(), "100%");
  // The worker gives OK back through the main loop, around the refresh that shows the text.
  EXPECT_TRUE(session_->Loop().RunUntil([&] { return ok_->isEnabled(); }, kRunLimitMs));
  EXPECT_TRUE(progress_.count(100)) << "the bar itself was filled, not only its model";
  EXPECT_EQ(module_->ImagesReceived(), 1);
  EXPECT_EQ(module_->KernelEntries(), 0) << "a live module is updated through its update mode";
}

TEST_F(WindowSimTest, ADeadModuleEndsInRedAfterTheThirdAttempt) {
  sim::ModuleOptions options;
  options.baud = 9600;
  options.dead_firmware = true;
  options.no_nak_after_kernel_entry = true;
  Start(options);
  ASSERT_NO_FATAL_FAILURE(ChooseTheModuleAndPressOk());

  ASSERT_TRUE(WaitForStatus("Restart module and Tool!", kRunLimitMs)) << Shown();
  EXPECT_EQ(label63_->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  // OK comes back once the abandoned attempt has left the port.
  EXPECT_TRUE(session_->Loop().RunUntil([&] { return ok_->isEnabled(); }, kRunLimitMs));
  EXPECT_FALSE(session_->Application().Form().Timer1.TimerEnabled());
  EXPECT_EQ(label63_->text(), "Restart module and Tool!");
  EXPECT_GE(module_->KernelEntries(), 2) << "two fall-back attempts ran to their end";
  EXPECT_EQ(module_->ImagesReceived(), 0);
}

TEST_F(WindowSimTest, ClosingDuringADownloadStopsEverythingAndEndsPromptly) {
  sim::ModuleOptions options;
  options.baud = 9600;
  options.erase_ms = 100;
  options.pace_line_rate = true;  // the image takes its real time: the close lands mid-transfer
  Start(options);
  ASSERT_NO_FATAL_FAILURE(ChooseTheModuleAndPressOk());
  ASSERT_TRUE(session_->Loop().RunUntil([&] { return bar_->value() >= 2; }, kRunLimitMs))
      << Shown();

  auto& board = session_->Application().Board();
  auto worker = board.Worker[0].Get();
  ASSERT_NE(worker, nullptr);
  EXPECT_TRUE(session_->Window().close());
  // The close waits at most a second; the transfer's ACK wait alone would take five.
  EXPECT_TRUE(worker->Finished()) << "a stop cuts the transfer's waits short";
  EXPECT_FALSE(session_->Application().Form().Timer1.TimerEnabled());
  EXPECT_EQ(board.ReadEnabled[0].load(), 0) << "the module's port is closed";
  EXPECT_TRUE(session_->Loop().IsShutDown());
  EXPECT_EQ(module_->ImagesReceived(), 0) << "the transfer did not run to its end";
  session_.reset();  // joins what is left of the workers
}

}  // namespace
}  // namespace flashpost::gui
