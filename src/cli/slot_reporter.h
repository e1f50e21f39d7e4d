#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/main_form.h"
#include "platform/clock.h"
#include "ui/control.h"

namespace flashpost::cli {

// Where a slot of a multi-port run stands, as the commands judge it from what the page shows.
enum class SlotOutcome { kRunning, kPassed, kFailed };

// The colour's name as the operator knows it ("navy", "green", "red", "blue"), else its hex value.
std::string ColorName(ui::Color color);
// The text as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);
// Text that came from a module, safe to print on a terminal: control bytes and bytes above 0x7E
// are shown as \xHH.
std::string Printable(std::string_view text);

// Prints the slots of a multi-port page as they change: one line per change of a slot's status
// line, colour or measure (progress in %, or C/N0 in dB-Hz), then a verdict line per slot. Plain
// lines read "slot K PORT: [colour] status measure"; with json every line is one object.
class SlotReporter {
 public:
  struct Measure {
    const char* json_key;  // "progress", "cn0"; nullptr: the page shows no measure
    const char* unit;      // "%", "dBHz"
  };
  static constexpr Measure kNoMeasure{nullptr, ""};
  static constexpr Measure kProgress{"progress", "%"};
  static constexpr Measure kCn0{"cn0", "dBHz"};

  SlotReporter(platform::Clock& clock, std::FILE* out, bool json, Measure measure);

  // Names the slots; slot k is ports[k]. Clears what was reported so far.
  void SetPorts(std::vector<std::string> ports);
  // What slot `slot` shows now; printed when anything differs from the last line of that slot.
  void Show(int slot, const std::string& status, ui::Color color, int measure);
  // The slot's verdict.
  void Verdict(int slot, bool passed, const std::string& status);
  // A line of the page's own (its message line, a refusal), or of the command.
  void Message(const std::string& text, ui::Color color);

  uint32_t ElapsedMs() const { return clock_.Ticks() - start_; }
  std::FILE* Out() const { return out_; }
  bool Json() const { return json_; }

 private:
  struct Shown {
    std::string status;
    ui::Color color = 0;
    int measure = -1;
    bool any = false;
  };
  std::string SlotPrefix(int slot) const;

  platform::Clock& clock_;
  std::FILE* out_;
  const bool json_;
  const Measure measure_;
  const uint32_t start_;
  std::vector<std::string> ports_;
  std::vector<Shown> shown_;
};

// Steps every multi-port command takes on the form, as the operator does them.

// Opens the reference receiver on the terminal page in NMEA at `baud` (and switches it to VBI
// when asked). False, with the reason shown through the reporter, when it did not open or switch.
bool OpenReference(app::TMainForm& form, const std::string& port, const std::string& baud,
                   bool switch_to_vbi, SlotReporter& reporter);
// Ticks exactly the listed entries that are among `ports`.
void TickPorts(ui::CheckListBox& list, const std::vector<std::string>& ports);

// Parses a whole decimal number within [min, max] as an option's value: digits only, an optional
// leading minus where min is negative. False with a message naming the option otherwise.
bool ParseWholeOption(const std::string& option, const std::string& text, int64_t min, int64_t max,
                      int64_t& value, std::string& error);

// Walks a command's arguments one option at a time.
class OptionWalker {
 public:
  OptionWalker(const std::vector<std::string>& args, std::string& error)
      : args_(args), error_(error) {}
  // Moves to the next option; false after the last.
  bool Next() { return ++next_ <= args_.size(); }
  const std::string& Option() const { return args_[next_ - 1]; }
  // Takes the argument after the option as its value; false with a message when there is none.
  bool Value(std::string& into);

 private:
  const std::vector<std::string>& args_;
  std::string& error_;
  size_t next_ = 0;
};

// The module ports of a multi-port command: at most eight, none named twice, none the
// reference's. False with the reason otherwise.
bool CheckModulePorts(const char* command, const std::vector<std::string>& ports,
                      const std::string& reference, std::string& error);

// The comma-separated names of --ports; empty items are an error.
bool SplitPortNames(const std::string& text, std::vector<std::string>& names, std::string& error);

// The first name of `wanted` that `listed` does not hold; empty when all are there.
std::string FirstUnlisted(const std::vector<std::string>& wanted,
                          const std::vector<std::string>& listed);

}  // namespace flashpost::cli
