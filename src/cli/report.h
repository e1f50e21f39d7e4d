#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_record.h"
#include "board/port_board.h"
#include "platform/clock.h"
#include "ui/control.h"

namespace flashpost::cli {

// The colour's name as the operator knows it ("navy", "green", "red", "blue"), else its hex value.
std::string ColorName(ui::Color color);
// Text that came from a module, safe to print on a terminal: control bytes and bytes above 0x7E
// are shown as \xHH.
std::string Printable(std::string_view text);

// Every text the pages write into the board's status lines of a run's slots and into its message
// line, as it is written, however soon it is replaced, with the colour it went out in and the
// slot's progress at that moment. The pages write the colour before the text.
class StatusEvents {
 public:
  enum class Lines { kDownload, kTest };  // StatusText and MessageText, or the test page's
  struct Event {
    int slot;  // kMessageLine for the page's message line
    std::string text;
    ui::Color color;
    int32_t progress;
  };
  static constexpr int kMessageLine = -1;

  StatusEvents(app::PortBoard& board, Lines lines);
  // Stops listening. What a worker writes meanwhile goes nowhere.
  ~StatusEvents();
  StatusEvents(const StatusEvents&) = delete;
  StatusEvents& operator=(const StatusEvents&) = delete;

  // The events since the last call, in the order they were written.
  std::vector<Event> Take();

 private:
  struct Queue {
    std::mutex mutex;
    std::vector<Event> events;
  };
  app::SharedText& Line(int slot);

  app::PortBoard& board_;
  const Lines lines_;
  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
};

// Prints what a command's run shows as it changes, one line per change, and each slot's result:
// plain lines "slot K PORT: [colour] status measure", or with json one object per line. Keeps
// the station's records, and notices output that cannot be written.
class Reporter {
 public:
  struct Measure {
    const char* json_key;  // "progress", "cn0"; nullptr: the page shows no measure
    const char* unit;      // "%", "dBHz"
  };
  static constexpr Measure kNoMeasure{nullptr, ""};
  static constexpr Measure kProgress{"progress", "%"};
  static constexpr Measure kCn0{"cn0", "dBHz"};

  // With a progress bar (the automatic page's), plain status lines carry no measure: the
  // progress is a bar redrawn in place on a terminal, and a line at each tenth otherwise.
  Reporter(platform::Clock& clock, std::FILE* out, bool json, Measure measure,
           const std::string& record_path, bool progress_bar = false);

  // Names the slots; slot k is ports[k] (the names the ports were given by). A single-slot run
  // of a page without slots (update, erase) passes an empty prefix.
  void SetPorts(std::vector<std::string> ports, bool slot_prefix = true);
  // What slot `slot` shows now; printed when anything differs from its last line.
  void Show(int slot, const std::string& status, ui::Color color, int measure);
  // A line of the page's own (its message line, a refusal), or of the command.
  void Message(const std::string& text, ui::Color color);
  // The slot's result: printed and, with a record file, appended to it.
  void Result(const app::RunRecord& record);

  uint32_t ElapsedMs() const { return clock_.Ticks() - start_; }
  std::FILE* Out() const { return out_; }
  bool Json() const { return json_; }

  // Why the run's output or its records could not be kept; empty when they all were.
  std::string KeepingError() const;
  // Hands what was printed on, and notes it when the output cannot take it.
  void Flush();

 private:
  struct Shown {
    std::string status;
    ui::Color color = 0;
    int measure = -1;
    bool any = false;
  };
  std::string SlotPrefix(int slot) const;
  void ShowProgress(int percent);
  void EndBar();

  platform::Clock& clock_;
  std::FILE* out_;
  const bool json_;
  const Measure measure_;
  const uint32_t start_;
  std::vector<std::string> ports_;
  bool slot_prefix_ = true;
  std::vector<Shown> shown_;
  app::RecordWriter records_;
  const bool progress_bar_;
  const bool terminal_;
  int shown_decile_ = -1;
  bool bar_open_ = false;
  std::string output_error_;
};

}  // namespace flashpost::cli
