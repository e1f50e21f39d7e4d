#include "ui/end_request_watch.h"

namespace flashpost::ui {

namespace {
constexpr uint32_t kLookEveryMs = 100;
}  // namespace

EndRequestWatch::EndRequestWatch(MainLoop& loop, std::function<void()> on_request)
    : loop_(loop), on_request_(std::move(on_request)) {
  timer_ = loop_.StartTimer(kLookEveryMs, [this] {
    if (!Requested()) return;
    loop_.StopTimer(timer_);
    watching_ = false;
    if (on_request_) on_request_();
  });
}

EndRequestWatch::~EndRequestWatch() {
  if (watching_) loop_.StopTimer(timer_);
}

int EndRequestWatch::ExitStatus(int otherwise) const {
  return Requested() ? 128 + Signal() : otherwise;
}

}  // namespace flashpost::ui
