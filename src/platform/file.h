#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace flashpost::platform {

// A file held open for reading and locked against other writers and lockers for as long as the
// handle lives, as a selected firmware file is kept from its choice to the program's end.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
  // The file's size in bytes now; nothing when it cannot be read.
  virtual std::optional<uint64_t> Size() = 0;
};

// Opens the file for reading with an exclusive lock; null when the file cannot be opened or
// another program holds a lock on it.
std::unique_ptr<HeldFile> OpenHeldFile(const std::string& path);

}  // namespace flashpost::platform
