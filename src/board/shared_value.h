#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace flashpost::app {

// A string that one thread replaces while another reads it. A reader gets either the old or the
// new text, never a mix. A listener hears every new text as it is written, however soon it is
// replaced.
class SharedText {
 public:
  using Listener = std::function<void(const std::string& text)>;

  explicit SharedText(std::string initial = " ") : text_(std::move(initial)) {}
  SharedText(const SharedText&) = delete;
  SharedText& operator=(const SharedText&) = delete;

  std::string Get() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void Set(std::string text) {
    std::shared_ptr<const Listener> listener;
    {
      std::lock_guard lock(mutex_);
      text_ = text;
      listener = listener_;
    }
    // Outside the lock: the listener may read this text again.
    if (listener) (*listener)(text);
  }
  // Called on the writer's thread after each Set; an empty one removes it.
  void SetListener(Listener listener) {
    std::lock_guard lock(mutex_);
    listener_ = listener ? std::make_shared<const Listener>(std::move(listener)) : nullptr;
  }
  bool operator==(std::string_view other) const {
    std::lock_guard lock(mutex_);
    return text_ == other;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
  std::shared_ptr<const Listener> listener_;
};

// A reference to a shared object (a thread, an open port) that one thread replaces while others
// take copies of it. A copy keeps the object alive for as long as the holder uses it.
template <class T>
class SharedRef {
 public:
  SharedRef() = default;
  SharedRef(const SharedRef&) = delete;
  SharedRef& operator=(const SharedRef&) = delete;

  std::shared_ptr<T> Get() const {
    std::lock_guard lock(mutex_);
    return ref_;
  }
  void Set(std::shared_ptr<T> ref) {
    std::shared_ptr<T> old;
    {
      std::lock_guard lock(mutex_);
      old = std::exchange(ref_, std::move(ref));
    }
    // The old object, if this was its last holder, goes outside the lock.
  }
  explicit operator bool() const { return Get() != nullptr; }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> ref_;
};

}  // namespace flashpost::app
