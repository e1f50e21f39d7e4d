#pragma once

#include <memory>

#include "app/main_form.h"
#include "app/run_recorder.h"
#include "board/port_board.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "ui/main_loop.h"

namespace flashpost::app {

// One running instance of the tool: the board, then the main window on the given loop. Torn
// down in the safe order: the loop stops serving (so no worker waits on it), every thread is
// stopped and joined, then the window and the board go.
class Application {
 public:
  // With a record path, every slot verdict of the window's pages is appended to that file.
  Application(platform::Clock& clock, platform::SerialSystem& serial, ui::MainLoop& loop,
              const std::string& record_path = "");
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  PortBoard& Board() { return board_; }
  TMainForm& Form() { return *form_; }
  // The window's records; null without a record path.
  RunRecorder* Recorder() { return recorder_.get(); }
  ui::MainLoop& Loop() { return loop_; }

  // FormClose, then the loop is shut down.
  void Close();

 private:
  ui::MainLoop& loop_;
  PortBoard board_;
  std::unique_ptr<TMainForm> form_;
  std::unique_ptr<RunRecorder> recorder_;
  bool closed_ = false;
};

}  // namespace flashpost::app
