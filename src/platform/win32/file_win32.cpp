#include <windows.h>

#include "platform/file.h"

namespace flashpost::platform {

namespace {

class Win32HeldFile final : public HeldFile {
 public:
  explicit Win32HeldFile(HANDLE file) : file_(file) {}
  ~Win32HeldFile() override { CloseHandle(file_); }  // also lets writers in again
  Win32HeldFile(const Win32HeldFile&) = delete;
  Win32HeldFile& operator=(const Win32HeldFile&) = delete;

  std::optional<uint64_t> Size() override {
    DWORD high = 0;
    DWORD low = GetFileSize(file_, &high);
    // INVALID_FILE_SIZE is also the low word of a real size; only the error code tells them apart.
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return std::nullopt;
    return (static_cast<uint64_t>(high) << 32) | low;
  }

 private:
  HANDLE file_;
};

}  // namespace

std::unique_ptr<HeldFile> OpenHeldFile(const std::string& path) {
  if (path.empty()) return nullptr;
  // Sharing only reading keeps writers out while the handle lives, and refuses the open while
  // another program has the file open for writing. A folder does not open without backup
  // semantics.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // A device such as NUL or COM1 opens too, but is no file to size.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<Win32HeldFile>(file);
}

}  // namespace flashpost::platform
