#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file.h"

namespace flashpost::platform {

namespace {

class PosixHeldFile final : public HeldFile {
 public:
  explicit PosixHeldFile(int fd) : fd_(fd) {}
  ~PosixHeldFile() override { ::close(fd_); }  // also drops the lock
  PosixHeldFile(const PosixHeldFile&) = delete;
  PosixHeldFile& operator=(const PosixHeldFile&) = delete;

  std::optional<uint64_t> Size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<HeldFile> OpenHeldFile(const std::string& path) {
  if (path.empty()) return nullptr;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  // A folder or a device opens for reading too, but is no file to size. The lock is shared: two
  // fixtures on one PC may load the same image, only a writer that locks is kept out.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixHeldFile>(fd);
}

}  // namespace flashpost::platform
