#include <windows.h>

#include "platform/station.h"

namespace flashpost::platform {

namespace {

std::string LastErrorText() {
  const DWORD code = GetLastError();
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

class Win32RecordFile final : public RecordFile {
 public:
  explicit Win32RecordFile(HANDLE file) : file_(file) {}
  ~Win32RecordFile() override { CloseHandle(file_); }
  Win32RecordFile(const Win32RecordFile&) = delete;
  Win32RecordFile& operator=(const Win32RecordFile&) = delete;

  bool Append(const std::string& line, std::string& error) override {
    const std::string text = line + "\n";
    DWORD written = 0;
    if (!WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      error = LastErrorText();
      return false;
    }
    if (!FlushFileBuffers(file_)) {
      error = LastErrorText();
      return false;
    }
    return true;
  }

 private:
  HANDLE file_;
};

}  // namespace

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size) || size == 0) return "unknown";
  return std::string(name, size);
}

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error) {
  // Appends only; others may read the records while the station writes them.
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = LastErrorText();
    return nullptr;
  }
  return std::make_unique<Win32RecordFile>(file);
}

}  // namespace flashpost::platform
