#include "app/application.h"

namespace flashpost::app {

Application::Application(platform::Clock& clock, platform::SerialSystem& serial, ui::MainLoop& loop,
                         const std::string& record_path)
    : loop_(loop), board_(clock, serial), form_(std::make_unique<TMainForm>(board_, loop)) {
  if (!record_path.empty()) recorder_ = std::make_unique<RunRecorder>(*form_, record_path);
  form_->FormCreate();
}

Application::~Application() {
  if (!closed_) loop_.Shutdown();
  board_.StopAllThreads();
  recorder_.reset();
  form_.reset();
}

void Application::Close() {
  if (closed_) return;
  closed_ = true;
  form_->FormClose();
  loop_.Shutdown();
}

}  // namespace flashpost::app
