#include "app/run_record.h"

#include <cstdio>

#include "payloads/payloads.h"

namespace flashpost::app {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

RunRecord StartRecord(const PortBoard& board, int slot, uint32_t now_ms) {
  RunRecord record;
  record.utc = platform::UtcTimestamp();
  record.ms = now_ms;
  record.host = platform::HostName();
  record.program = std::string("Flashpost ") + FLASHPOST_VERSION;
  record.slot = slot;
  if (IsSlot(slot)) {
    if (auto sent = board.Transfers[slot].Get()) record.sent = *sent;
    record.version_before = board.ReportedVersion[slot].Get();
  }
  return record;
}

namespace {

std::string OptionalText(const std::string& text) {
  return text.empty() ? "null" : JsonString(text);
}

std::string SentJson(const TransferLog& sent) {
  std::string out = "[";
  for (size_t i = 0; i < sent.size(); ++i) {
    char crc[16] = "null";
    if (auto value = payloads::CrcOf(sent[i].name)) {
      std::snprintf(crc, sizeof crc, "\"%08X\"", *value);
    }
    out += (i ? ", " : "") + std::string("{\"name\": ") + JsonString(sent[i].name) +
           ", \"crc32\": " + crc + ", \"complete\": " + (sent[i].complete ? "true" : "false") + "}";
  }
  return out + "]";
}

}  // namespace

std::string RecordJson(const RunRecord& r) {
  std::string out = "{\"ms\": " + std::to_string(r.ms) + ", \"utc\": " + JsonString(r.utc) +
                    ", \"host\": " + JsonString(r.host) +
                    ", \"program\": " + JsonString(r.program) +
                    ", \"command\": " + JsonString(r.command) + ", \"job\": " + JsonString(r.job) +
                    ", \"slot\": " + std::to_string(r.slot) + ", \"port\": " + JsonString(r.port) +
                    ", \"result\": " + (r.passed ? "\"pass\"" : "\"fail\"") +
                    ", \"status\": " + JsonString(r.status) + ", \"sent\": " + SentJson(r.sent) +
                    ", \"version_before\": " + OptionalText(r.version_before) +
                    ", \"version_after\": " + OptionalText(r.version_after) +
                    ", \"duration_ms\": " + std::to_string(r.duration_ms);
  if (!r.cause.empty()) out += ", \"cause\": " + JsonString(r.cause);
  return out + "}";
}

RecordWriter::RecordWriter(const std::string& path) : path_(path) {
  if (path_.empty()) return;
  std::string reason;
  file_ = platform::OpenRecordFile(path_, reason);
  if (!file_) error_ = "cannot open the record file " + path_ + ": " + reason;
}

bool RecordWriter::Write(const RunRecord& record) {
  if (!error_.empty()) return false;
  if (!file_) return true;
  std::string reason;
  if (file_->Append(RecordJson(record), reason)) return true;
  error_ = "cannot write the record file " + path_ + ": " + reason;
  return false;
}

}  // namespace flashpost::app
