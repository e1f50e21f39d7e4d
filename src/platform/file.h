#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace flashpost::platform {

// A file held open for reading, shared with other readers and kept from writers for as long as
// the handle lives, as a selected firmware file is kept from its choice to the program's end.
// Windows enforces this through the share mode. On Linux the lock is a shared flock, which is
// advisory: it keeps out a writer that takes an exclusive flock, not one that writes without
// locking.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
  // The file's size in bytes now; nothing when it cannot be read.
  virtual std::optional<uint64_t> Size() = 0;
};

// Opens the file for reading under a shared lock; null when it is no regular file, cannot be
// opened, or a writer holds it (an exclusive flock on Linux, an open for writing on Windows).
std::unique_ptr<HeldFile> OpenHeldFile(const std::string& path);

}  // namespace flashpost::platform
