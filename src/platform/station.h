#pragma once

#include <memory>
#include <string>

namespace flashpost::platform {

// The name this machine goes by, so that records from many stations can be told apart; "unknown"
// when the OS will not say.
std::string HostName();

// The wall-clock time now in UTC, ISO 8601 to the millisecond: "2026-12-10T10:32:05.123Z".
std::string UtcTimestamp();

// A file of records, one line each, appended to and never rewritten. Each line is on the disk
// before Append returns, so a record survives a crash or a power cut right after its verdict.
class RecordFile {
 public:
  virtual ~RecordFile() = default;
  // Appends the line and a line feed, then flushes and syncs; false with the OS's reason.
  virtual bool Append(const std::string& line, std::string& error) = 0;
};

// Opens the file for appending, creating it if need be; null with the reason in error.
std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error);

}  // namespace flashpost::platform
