#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/child_process.h"

extern char** environ;

namespace flashpost::platform {

namespace {

// The name of a "NAME=value" entry, '=' included.
std::string NameOf(const std::string& entry) {
  const size_t eq = entry.find('=');
  return eq == std::string::npos ? entry + "=" : entry.substr(0, eq + 1);
}

class PosixChildProcess final : public ChildProcess {
 public:
  PosixChildProcess(pid_t pid, int output_fd) : pid_(pid), output_fd_(output_fd) {
    reader_ = std::thread([this] { ReadOutput(); });
  }

  ~PosixChildProcess() override {
    Kill();
    Wait(std::chrono::milliseconds(5000));
    stop_reading_.store(true);
    reader_.join();
    ::close(output_fd_);
  }

  std::optional<int> Wait(std::chrono::milliseconds timeout) override {
    std::lock_guard lock(wait_mutex_);
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      int raw = 0;
      const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        signalled_ = WIFSIGNALED(raw);
        // What it wrote just before it ended is still in the pipe.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return status_;
      }
      if (r < 0 && errno != EINTR) return std::nullopt;
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::string Output() const override {
    std::lock_guard lock(output_mutex_);
    return output_;
  }

  void Signal(int signal_number) override {
    if (!Wait(std::chrono::milliseconds(0))) ::kill(pid_, signal_number);
  }

  bool EndedBySignal() override {
    std::lock_guard lock(wait_mutex_);
    return signalled_;
  }

  int Id() const override { return pid_; }

  // Asked to end first, so that it can clean up after itself (a display server's lock file);
  // killed when it does not.
  void Kill() override {
    if (Wait(std::chrono::milliseconds(0))) return;
    ::kill(pid_, SIGTERM);
    if (Wait(std::chrono::milliseconds(2000))) return;
    ::kill(pid_, SIGKILL);
  }

 private:
  // Helpers the program starts may inherit the pipe and keep it open after the program ended,
  // so the end of the output is not waited for: reading stops when the object goes.
  void ReadOutput() {
    char buffer[4096];
    while (!stop_reading_.load()) {
      pollfd p{output_fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
      if (n > 0) {
        std::lock_guard lock(output_mutex_);
        output_.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        break;
      }
    }
  }

  const pid_t pid_;
  const int output_fd_;
  std::mutex wait_mutex_;
  std::optional<int> status_;
  bool signalled_ = false;  // under wait_mutex_
  mutable std::mutex output_mutex_;
  std::string output_;
  std::atomic<bool> stop_reading_{false};
  std::thread reader_;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChildProcess(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& extra_env,
                                                std::string& error) {
  if (argv.empty()) {
    error = "no program to start";
    return nullptr;
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    bool replaced = false;
    for (const auto& extra : extra_env) replaced = replaced || NameOf(extra) == NameOf(entry);
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra_env.begin(), extra_env.end());

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);

  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int r = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (r != 0) {
    ::close(pipe_fds[0]);
    error = "cannot start " + argv[0] + ": " + std::strerror(r);
    return nullptr;
  }
  return std::make_unique<PosixChildProcess>(pid, pipe_fds[0]);
}

}  // namespace flashpost::platform
