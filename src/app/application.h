#pragma once

#include <memory>

#include "app/main_form.h"
#include "app/port_board.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "ui/main_loop.h"

namespace flashpost::app {

// One running instance of the tool: the board, then the main window on the given loop. Torn
// down in the safe order: the loop stops serving (so no worker waits on it), every thread is
// stopped and joined, then the window and the board go.
class Application {
 public:
  Application(platform::Clock& clock, platform::SerialSystem& serial, ui::MainLoop& loop);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  PortBoard& Board() { return board_; }
  TMainForm& Form() { return *form_; }
  ui::MainLoop& Loop() { return loop_; }

  // FormClose, then the loop is shut down.
  void Close();

 private:
  ui::MainLoop& loop_;
  PortBoard board_;
  std::unique_ptr<TMainForm> form_;
  bool closed_ = false;
};

}  // namespace flashpost::app
