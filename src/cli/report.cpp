#include "cli/report.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "board/colors.h"
#include "payloads/payloads.h"
#include "platform/terminal.h"

namespace flashpost::cli {

std::string ColorName(ui::Color color) {
  switch (color) {
    case app::kNavy:
      return "navy";
    case app::kGreen:
      return "green";
    case app::kRed:
      return "red";
    case app::kBlue:
      return "blue";
    default: {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%06X", color);
      return hex;
    }
  }
}

std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    }
  }
  return out;
}

StatusEvents::StatusEvents(app::PortBoard& board, Lines lines) : board_(board), lines_(lines) {
  for (int slot = kMessageLine; slot < app::kModuleSlotCount; ++slot) {
    // The queue, not this object, is what a worker's write reaches: it outlives a listener that
    // is being taken away while a worker still calls it.
    Line(slot).SetListener([&board, lines, slot, queue = queue_](const std::string& text) {
      const bool test = lines == Lines::kTest;
      ui::Color color;
      int32_t progress = 0;
      if (slot == kMessageLine) {
        color = test ? board.TestMessageColor.load() : board.MessageColor.load();
      } else {
        color = test ? board.TestStatusColor[slot].load() : board.StatusColor[slot].load();
        progress = board.ProgressPercent[slot].load();
      }
      std::lock_guard lock(queue->mutex);
      queue->events.push_back({slot, text, color, progress});
    });
  }
}

StatusEvents::~StatusEvents() {
  for (int slot = kMessageLine; slot < app::kModuleSlotCount; ++slot) Line(slot).SetListener({});
}

app::SharedText& StatusEvents::Line(int slot) {
  const bool test = lines_ == Lines::kTest;
  if (slot == kMessageLine) return test ? board_.TestMessageText : board_.MessageText;
  return test ? board_.TestStatusText[slot] : board_.StatusText[slot];
}

std::vector<StatusEvents::Event> StatusEvents::Take() {
  std::lock_guard lock(queue_->mutex);
  return std::exchange(queue_->events, {});
}

Reporter::Reporter(platform::Clock& clock, std::FILE* out, bool json, Measure measure,
                   const std::string& record_path, bool progress_bar)
    : clock_(clock),
      out_(out),
      json_(json),
      measure_(measure),
      start_(clock.Ticks()),
      records_(record_path),
      progress_bar_(progress_bar && !json),
      terminal_(platform::IsTerminal(out)) {}

void Reporter::ShowProgress(int percent) {
  if (terminal_) {
    constexpr int kWidth = 40;
    const int filled = std::clamp(percent, 0, 100) * kWidth / 100;
    std::fprintf(out_, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, ' ').c_str(), percent);
    bar_open_ = true;
  } else if (percent / 10 != shown_decile_) {
    shown_decile_ = percent / 10;
    std::fprintf(out_, "progress %d%%\n", percent);
  }
}

void Reporter::EndBar() {
  if (bar_open_) std::fputc('\n', out_);
  bar_open_ = false;
}

void Reporter::SetPorts(std::vector<std::string> ports, bool slot_prefix) {
  ports_ = std::move(ports);
  slot_prefix_ = slot_prefix;
  shown_.assign(ports_.size(), Shown{});
}

std::string Reporter::SlotPrefix(int slot) const {
  if (!slot_prefix_) return "";
  return "slot " + std::to_string(slot) + " " + Printable(ports_.at(slot)) + ": ";
}

void Reporter::Flush() {
  if (std::fflush(out_) != 0 || std::ferror(out_)) {
    if (output_error_.empty()) {
      output_error_ = std::string("cannot write the output: ") +
                      (errno != 0 ? std::strerror(errno) : "write error");
    }
  }
}

void Reporter::Show(int slot, const std::string& status, ui::Color color, int measure) {
  Shown& last = shown_.at(slot);
  if (last.any && last.status == status && last.color == color && last.measure == measure) return;
  const bool status_changed = !last.any || last.status != status || last.color != color;
  last = {status, color, measure, true};
  if (progress_bar_) {
    if (status_changed) {
      EndBar();
      std::fprintf(out_, "[%s] %s\n", ColorName(color).c_str(), Printable(status).c_str());
    }
    ShowProgress(measure);
    Flush();
    return;
  }
  std::string measure_text;
  if (json_) {
    if (measure_.json_key) {
      measure_text = ", \"" + std::string(measure_.json_key) + "\": " + std::to_string(measure);
    }
    std::string where;
    if (slot_prefix_) {
      where =
          ", \"slot\": " + std::to_string(slot) + ", \"port\": " + app::JsonString(ports_[slot]);
    }
    std::fprintf(out_, "{\"ms\": %u%s, \"status\": %s, \"color\": %s%s}\n", ElapsedMs(),
                 where.c_str(), app::JsonString(status).c_str(),
                 app::JsonString(ColorName(color)).c_str(), measure_text.c_str());
  } else {
    if (measure_.json_key) measure_text = " " + std::to_string(measure) + measure_.unit;
    std::fprintf(out_, "%s[%s] %s%s\n", SlotPrefix(slot).c_str(), ColorName(color).c_str(),
                 Printable(status).c_str(), measure_text.c_str());
  }
  Flush();
}

void Reporter::Message(const std::string& text, ui::Color color) {
  EndBar();
  if (json_) {
    std::fprintf(out_, "{\"ms\": %u, \"message\": %s, \"color\": %s}\n", ElapsedMs(),
                 app::JsonString(text).c_str(), app::JsonString(ColorName(color)).c_str());
  } else {
    std::fprintf(out_, "[%s] %s\n", ColorName(color).c_str(), Printable(text).c_str());
  }
  Flush();
}

namespace {

// The record's facts behind a plain verdict line.
std::string Details(const app::RunRecord& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", r.duration_ms / 1000.0);
  std::string out = "  (" + r.job + ", " + seconds + ", " + r.utc;
  for (const app::PayloadTransfer& t : r.sent) {
    out += ", sent " + t.name;
    if (auto crc = payloads::CrcOf(t.name)) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%08X", *crc);
      out += std::string(" CRC-32 ") + hex;
    }
    if (!t.complete) out += " (not all of it)";
  }
  if (!r.version_before.empty()) out += ", version before " + Printable(r.version_before);
  if (!r.version_after.empty()) out += ", version after " + Printable(r.version_after);
  if (!r.cause.empty()) out += ", " + Printable(r.cause);
  return out + ")";
}

}  // namespace

void Reporter::Result(const app::RunRecord& record) {
  EndBar();
  if (json_) {
    std::fprintf(out_, "%s\n", app::RecordJson(record).c_str());
  } else {
    const std::string prefix = slot_prefix_ ? SlotPrefix(record.slot) : "";
    std::fprintf(out_, "%s%s %s%s\n", prefix.c_str(), record.passed ? "PASS" : "FAIL",
                 Printable(record.status).c_str(), Details(record).c_str());
  }
  Flush();
  records_.Write(record);
}

std::string Reporter::KeepingError() const {
  if (!records_.Error().empty()) return records_.Error();
  return output_error_;
}

}  // namespace flashpost::cli
