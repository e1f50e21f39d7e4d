#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace flashpost::app {

// A string that one thread replaces while another reads it. A reader gets either the old or the
// new text, never a mix.
class SharedText {
 public:
  explicit SharedText(std::string initial = " ") : text_(std::move(initial)) {}
  SharedText(const SharedText&) = delete;
  SharedText& operator=(const SharedText&) = delete;

  std::string Get() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void Set(std::string text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
  }
  bool operator==(std::string_view other) const {
    std::lock_guard lock(mutex_);
    return text_ == other;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
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
