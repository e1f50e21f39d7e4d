#include "cli/slot_reporter.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "app/colors.h"
#include "app/port_board.h"

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

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      // Bytes from a module need not be UTF-8: each stands for itself, so the line stays JSON.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
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

SlotReporter::SlotReporter(platform::Clock& clock, std::FILE* out, bool json, Measure measure)
    : clock_(clock), out_(out), json_(json), measure_(measure), start_(clock.Ticks()) {}

void SlotReporter::SetPorts(std::vector<std::string> ports) {
  ports_ = std::move(ports);
  shown_.assign(ports_.size(), Shown{});
}

std::string SlotReporter::SlotPrefix(int slot) const {
  return "slot " + std::to_string(slot) + " " + Printable(ports_.at(slot)) + ": ";
}

void SlotReporter::Show(int slot, const std::string& status, ui::Color color, int measure) {
  Shown& last = shown_.at(slot);
  if (last.any && last.status == status && last.color == color && last.measure == measure) return;
  last = {status, color, measure, true};
  std::string measure_text;
  if (json_) {
    if (measure_.json_key) {
      measure_text = ", \"" + std::string(measure_.json_key) + "\": " + std::to_string(measure);
    }
    std::fprintf(out_,
                 "{\"ms\": %u, \"slot\": %d, \"port\": %s, \"status\": %s, \"color\": %s%s}\n",
                 ElapsedMs(), slot, JsonString(ports_[slot]).c_str(), JsonString(status).c_str(),
                 JsonString(ColorName(color)).c_str(), measure_text.c_str());
  } else {
    if (measure_.json_key) measure_text = " " + std::to_string(measure) + measure_.unit;
    std::fprintf(out_, "%s[%s] %s%s\n", SlotPrefix(slot).c_str(), ColorName(color).c_str(),
                 Printable(status).c_str(), measure_text.c_str());
  }
  std::fflush(out_);
}

void SlotReporter::Verdict(int slot, bool passed, const std::string& status) {
  if (json_) {
    std::fprintf(out_, "{\"ms\": %u, \"slot\": %d, \"port\": %s, \"result\": %s, \"status\": %s}\n",
                 ElapsedMs(), slot, JsonString(ports_.at(slot)).c_str(),
                 passed ? "\"pass\"" : "\"fail\"", JsonString(status).c_str());
  } else {
    std::fprintf(out_, "%s%s %s\n", SlotPrefix(slot).c_str(), passed ? "PASS" : "FAIL",
                 Printable(status).c_str());
  }
  std::fflush(out_);
}

void SlotReporter::Message(const std::string& text, ui::Color color) {
  if (json_) {
    std::fprintf(out_, "{\"ms\": %u, \"message\": %s, \"color\": %s}\n", ElapsedMs(),
                 JsonString(text).c_str(), JsonString(ColorName(color)).c_str());
  } else {
    std::fprintf(out_, "[%s] %s\n", ColorName(color).c_str(), Printable(text).c_str());
  }
  std::fflush(out_);
}

bool OpenReference(app::TMainForm& form, const std::string& port, const std::string& baud,
                   bool switch_to_vbi, SlotReporter& reporter) {
  app::PortBoard& board = form.Board();
  terminal::TerminalPage& page = form.TerminalPage;
  page.ComboBox1.SetText(port);
  page.ComboBox2.SetText(baud);
  page.ComboBox4.SetItemIndex(0);  // NMEA: the receiver speaks it after power-up
  page.Button3.Click();
  if (board.ReadEnabled[app::kTerminalSlot].load() != 1) {
    // The open has said why on the slot's status line.
    reporter.Message("reference " + port + ": " + board.StatusText[app::kTerminalSlot].Get(),
                     app::kRed);
    return false;
  }
  if (switch_to_vbi) {
    page.Button6.Click();
    if (board.ProtocolMode[app::kTerminalSlot].load() != 1) {
      reporter.Message("reference " + port + ": the switch to VBI did not take", app::kRed);
      return false;
    }
  }
  return true;
}

void TickPorts(ui::CheckListBox& list, const std::vector<std::string>& ports) {
  const std::vector<std::string>& items = list.Items();
  for (size_t i = 0; i < items.size(); ++i) {
    const bool wanted = std::find(ports.begin(), ports.end(), items[i]) != ports.end();
    list.SetChecked(static_cast<int>(i), wanted);
  }
}

bool OptionWalker::Value(std::string& into) {
  if (next_ >= args_.size()) {
    error_ = Option() + " needs a value";
    return false;
  }
  into = args_[next_++];
  return true;
}

bool CheckModulePorts(const char* command, const std::vector<std::string>& ports,
                      const std::string& reference, std::string& error) {
  if (ports.size() > static_cast<size_t>(app::kModuleSlotCount)) {
    error =
        std::string(command) + " takes at most " + std::to_string(app::kModuleSlotCount) + " ports";
    return false;
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string& port = ports[i];
    if (port == reference) {
      error = "port '" + port + "' is the reference receiver's; it cannot also be a module's";
      return false;
    }
    if (std::find(ports.begin(), ports.begin() + i, port) != ports.begin() + i) {
      error = "port '" + port + "' is named twice";
      return false;
    }
  }
  return true;
}

bool ParseWholeOption(const std::string& option, const std::string& text, int64_t min, int64_t max,
                      int64_t& value, std::string& error) {
  int64_t parsed = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const bool digits_only = !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) ||
                                             (min < 0 && text[0] == '-' && text.size() > 1));
  auto [end, ec] = std::from_chars(first, last, parsed);
  if (!digits_only || ec != std::errc() || end != last || parsed < min || parsed > max) {
    error = option + " needs a whole number from " + std::to_string(min) + " to " +
            std::to_string(max) + ", not '" + text + "'";
    return false;
  }
  value = parsed;
  return true;
}

bool SplitPortNames(const std::string& text, std::vector<std::string>& names, std::string& error) {
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    std::string name = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (name.empty()) {
      error = "--ports needs names separated by single commas, not '" + text + "'";
      return false;
    }
    names.push_back(std::move(name));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::string FirstUnlisted(const std::vector<std::string>& wanted,
                          const std::vector<std::string>& listed) {
  for (const std::string& name : wanted) {
    if (std::find(listed.begin(), listed.end(), name) == listed.end()) return name;
  }
  return "";
}

}  // namespace flashpost::cli
