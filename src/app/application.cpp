#include "app/application.h"

namespace flashpost::app {

Application::Application(platform::Clock& clock, platform::SerialSystem& serial, ui::MainLoop& loop)
    : loop_(loop), board_(clock, serial), form_(std::make_unique<TMainForm>(board_, loop)) {
  form_->FormCreate();
}

Application::~Application() {
  if (!closed_) loop_.Shutdown();
  board_.StopAllThreads();
  form_.reset();
}

void Application::Close() {
  if (closed_) return;
  closed_ = true;
  form_->FormClose();
  loop_.Shutdown();
}

}  // namespace flashpost::app
