#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/station.h"

namespace flashpost::platform {

namespace {

class PosixRecordFile final : public RecordFile {
 public:
  explicit PosixRecordFile(int fd) : fd_(fd) {}
  ~PosixRecordFile() override { ::close(fd_); }
  PosixRecordFile(const PosixRecordFile&) = delete;
  PosixRecordFile& operator=(const PosixRecordFile&) = delete;

  bool Append(const std::string& line, std::string& error) override {
    const std::string text = line + "\n";
    size_t written = 0;
    while (written < text.size()) {
      const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? std::strerror(errno) : "nothing could be written";
        return false;
      }
      written += static_cast<size_t>(n);
    }
    // The write alone may sit in the page cache; the record must outlive a power cut.
    if (::fsync(fd_) != 0 && errno != EINVAL) {
      error = std::strerror(errno);
      return false;
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
  return name;
}

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<PosixRecordFile>(fd);
}

}  // namespace flashpost::platform
