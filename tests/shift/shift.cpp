#include "shift/shift.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "app/auto_update_page.h"
#include "board/colors.h"
#include "cno/cno_page.h"
#include "sim/nmea.h"
#include "sim/reference_receiver.h"
#include "sim/simulated_module.h"

namespace flashpost::shift {

namespace {

using sim::Payload;

// Clock time. The limits are far beyond what a job takes: a job that reaches one has hung.
constexpr uint32_t kJobLimitMs = 900'000;
constexpr uint32_t kLeaveLimitMs = 120'000;
constexpr uint32_t kCnoTestMs = 24'000;
constexpr uint32_t kIdTestMs = 16'000;
// A red test verdict is put down to timing only when what it lacked had not been read this long
// before it: a loaded machine may keep a sentence from the main thread for most of a real second.
constexpr uint32_t kEvidenceMarginMs = 12'000;
// A late module confirms within this long after the test's time-out.
constexpr uint32_t kLateConfirmationMs = 1500;

// The automatic update is five jobs of each round of twelve, each with a module fault drawn.
enum class Kind { kAuto, kFwAp, kAllImage, kXtal, kAllImageXtal, kCno, kCustomerId, kErase };
constexpr int kKinds = 8;
constexpr const char* kKindNames[kKinds] = {"automatic update", "multi-port FW(AP)", "All Image",
                                            "XTAL calibration", "All Image & XTAL",  "C/N0",
                                            "customer ID",      "flash eraser"};

// A verdict held against the module: a pass it backs, a failure nothing contradicts (the module's
// fault, a stop that left it mid-step, or timing on a loaded machine), or a wrong one.
enum class Outcome { kPass, kFail, kWrong };

struct Tally {
  int jobs = 0;
  std::array<int, 3> outcomes{};  // by Outcome
};

struct Seen {  // a green or red line the operator saw
  std::string text;
  ui::Color color = 0;
  uint32_t tick = 0;  // when it was first seen
};

struct Unit {
  std::unique_ptr<sim::SimulatedModule> module;
  sim::ModuleOptions options;
  ui::Label* label = nullptr;  // where the operator reads its line
  std::string pass_text;       // the line that ends its run in success
  // What a test's Start writes at once, still in the last verdict's colour: not a verdict.
  std::string running_text;
  std::string last_caption;
  std::vector<Seen> seen;       // its verdict lines since its run started
  int images = 0, loaders = 0;  // its counts when the run started (a fresh module's are 0)
};

// The reference receiver a job needs: the speed the terminal page opens it at, the speed it
// really talks at (another one plays a silent receiver), VBI or NMEA, its strongest C/N0.
struct ReferencePlan {
  uint32_t opened_at = 115200;
  uint32_t talks_at = 115200;
  bool vbi = false;
  int cn0 = 44;
  bool sbas_strongest = false;
  bool operator==(const ReferencePlan&) const = default;
};

// Four satellites, one GSV sentence; the strongest is a GPS satellite or an SBAS one.
std::vector<sim::Satellite> Sky(bool sbas_strongest) {
  if (sbas_strongest)
    return {{3, 62, 45, 30}, {46, 30, 190, 44}, {12, 20, 300, 33}, {19, 71, 10, 28}};
  return {{3, 62, 45, 44}, {19, 71, 10, 47}, {46, 30, 190, 35}, {12, 20, 300, 33}};
}

// The number the C/N0 page shows for a sky's strongest satellite: SBAS numbers are 87 higher.
int ShownPrnOfStrongest(const std::vector<sim::Satellite>& sky) {
  const auto best = std::ranges::max_element(sky, {}, &sim::Satellite::cn0);
  return best->prn > 32 ? best->prn + 87 : best->prn;
}

// Once the program has read this sentence it has the sky's whole GSV group.
std::string LastGsvSentence(const std::vector<sim::Satellite>& sky) {
  return sim::nmea::Frame(sim::nmea::GsvBodies("GP", sky).back());
}

sim::ModuleOptions QuickModule(uint32_t baud) {
  sim::ModuleOptions options;
  options.baud = baud;
  // Long enough for the program to have reopened its port at the updater's speed: a NAK that
  // comes while the port is still open at the module's own 115200 is purged with the close.
  options.erase_ms = 3000;
  options.satellites = Sky(false);
  // A report a clock second would be eighty a real second, more than a loaded machine hands to
  // the main thread: the backlog would be dropped, answers and all.
  options.nmea_period_ms = 3000;
  options.vbi.first_report_ms = 100;
  options.vbi.report_gap_ms = 250;
  options.vbi.calibration_ms = 500;
  return options;
}

long FromEnvironment(const char* name, long otherwise) {
  const char* text = std::getenv(name);
  return text && *text ? std::atol(text) : otherwise;
}

struct ShiftRun {
  ShiftRun(Station station, std::string instance)
      : st(std::move(station)), instance(std::move(instance)) {}

  Station st;
  const std::string instance;
  const uint32_t seed = static_cast<uint32_t>(FromEnvironment("FLASHPOST_SHIFT_SEED", 20261210));
  const int jobs = static_cast<int>(std::max(1L, FromEnvironment("FLASHPOST_SHIFT_JOBS", 100)));
  std::mt19937 rng{seed};

  int job = -1;
  Kind kind = Kind::kAuto;
  std::vector<Unit> units;
  std::unique_ptr<sim::SimulatedReference> reference;
  ReferencePlan reference_plan;
  std::string fwap_file, all_image_file;
  // The image the download procedures send, by the shared chip choice at Start.
  Payload image_at_start = Payload::kImageP2;

  // Every slot's last worker, and workers replaced while they still ran.
  std::array<std::shared_ptr<ui::Thread>, app::kModuleSlotCount> last_worker;
  std::vector<std::shared_ptr<ui::Thread>> replaced_running;

  std::array<Tally, kKinds> tally{};
  int stops = 0;

  app::TMainForm& form() { return st.application.Form(); }
  app::PortBoard& board() { return st.application.Board(); }
  bool TerminalOpen() { return board().ReadEnabled[app::kTerminalSlot].load() == 1; }
  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  bool Chance(int percent) { return Uniform(0, 99) < percent; }
  uint32_t AnyBaud() { return Chance(50) ? 9600 : 115200; }
  static uint32_t OtherBaud(uint32_t baud) { return baud == 9600 ? 115200 : 9600; }

  std::string Where() const {
    return "[" + instance + "] job " + std::to_string(job) + " (" +
           kKindNames[static_cast<int>(kind)] +
           "), replay with FLASHPOST_SHIFT_SEED=" + std::to_string(seed) +
           " FLASHPOST_SHIFT_JOBS=" + std::to_string(job + 1) + ": ";
  }
  void Fault(const std::string& what) { ADD_FAILURE() << Where() << what; }

  bool Serve(const std::function<bool()>& done, uint32_t limit_ms) {
    auto sampled = [&] {
      Sample();
      return done();
    };
    return st.serve_until(sampled, limit_ms);
  }

  void Sample() {
    for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
      auto worker = board().Worker[slot].Get();
      if (worker == last_worker[slot]) continue;
      if (last_worker[slot] && !last_worker[slot]->Finished()) {
        replaced_running.push_back(last_worker[slot]);
        Fault("a slot's worker was replaced while it still ran: two workers on one slot");
      }
      last_worker[slot] = worker;
    }
    std::erase_if(replaced_running, [](const auto& w) { return w->Finished(); });
    for (Unit& unit : units) {
      if (!unit.label || unit.label->Caption() == unit.last_caption) continue;
      const std::string& text = unit.last_caption = unit.label->Caption();
      const ui::Color color = unit.label->FontColor();
      // A verdict is red, or green and claiming success. The calibration's steps keep the colour
      // the line had before them, green after a download: those claim nothing.
      const bool claim = text.ends_with("(OK)") || text.ends_with("OK!") || text.ends_with("Pass!");
      if (text != unit.running_text && (color == app::kRed || (color == app::kGreen && claim) ||
                                        (!unit.pass_text.empty() && text == unit.pass_text)))
        unit.seen.push_back({text, color, st.clock.Ticks()});
    }
  }

  bool WorkersFinished() {
    return replaced_running.empty() &&
           std::ranges::all_of(last_worker, [](const auto& w) { return !w || w->Finished(); });
  }

  void ShowPage(ui::TabSheet& sheet) { form().PageControl1.SetActivePage(&sheet); }

  // The job's ports, in the order the port lists show them.
  std::vector<std::string> Ports(bool with_reference) const {
    std::vector<std::string> ports;
    for (const Unit& unit : units) ports.push_back(unit.module->PortPath());
    if (with_reference && reference) ports.push_back(reference->PortPath());
    return ports;
  }
  void ListPorts() { st.serial.SetListed(Ports(true)); }
  // Stops the job's run: from now on a write to its modules is a fault.
  void Stop(ui::Control& stop) {
    st.click(stop);
    st.serial.SetQuiet(Ports(false));
  }

  Unit& AddUnit(const sim::ModuleOptions& options, ui::Label* label) {
    Unit& unit = units.emplace_back();
    unit.options = options;
    unit.label = label;
    unit.module = std::make_unique<sim::SimulatedModule>(options, st.clock);
    if (!unit.module->ok()) Fault("no pseudo-terminal for a simulated module");
    unit.module->Start();
    if (label) unit.last_caption = label->Caption();
    ListPorts();
    return unit;
  }

  std::string Lines() const {
    std::ostringstream s;
    for (const Unit& unit : units) {
      const sim::SimulatedModule& m = *unit.module;
      const sim::ModuleOptions& o = unit.options;
      s << "\n  \"" << (unit.label ? unit.label->Caption() : "") << "\" " << m.PortPath() << " ["
        << m.ModeName() << "; images " << m.ImagesReceived() << ", loaders " << m.LoadersReceived()
        << ", kernel entries " << m.KernelEntries() << ", update commands " << m.UpdateCommands()
        << (o.silent ? "; silent" : "") << (o.dead_firmware ? "; dead" : "") << "; fail block "
        << o.fail_block << "; answers " << o.reply_delay_ms << " ms late]";
      for (const Seen& seen : unit.seen) s << " [" << seen.tick << " \"" << seen.text << "\"]";
    }
    s << "\n  clock " << st.clock.Ticks();
    return s.str();
  }

  void CheckNoWritesWhileQuiet() {
    EXPECT_EQ(st.serial.TakeQuietWrites(), std::vector<std::string>{})
        << Where() << "a stopped run wrote after the stop";
    st.serial.SetQuiet({});
  }

  void CloseReference() {
    auto& terminal = form().TerminalPage;
    if (TerminalOpen()) st.click(terminal.Button3);
    if (TerminalOpen()) Fault("the terminal port did not close");
    reference.reset();
    ListPorts();
  }

  // Opens the reference the plan asks for on the terminal page, NMEA first and then switched to
  // VBI when the plan says so; the one already open is kept when it is that one.
  void UseReference(const ReferencePlan& plan, bool keep_open_one) {
    if (keep_open_one && reference && TerminalOpen() && plan == reference_plan) return;
    CloseReference();
    sim::ReferenceOptions options;
    options.baud = plan.talks_at;
    options.satellites = sim::WithStrongestCn0(Sky(plan.sbas_strongest), plan.cn0);
    options.report_period_ms = 2000;
    reference = std::make_unique<sim::SimulatedReference>(options, st.clock);
    reference->Start();
    reference_plan = plan;
    ListPorts();

    auto& terminal = form().TerminalPage;
    ShowPage(terminal.Sheet);
    st.click(terminal.Button5);  // Scan ComPort
    terminal.ComboBox1.SetText(reference->PortPath());
    terminal.ComboBox2.SetText(std::to_string(plan.opened_at));
    terminal.ComboBox4.SetItemIndex(0);
    st.click(terminal.Button3);
    if (!TerminalOpen()) return Fault("the terminal page did not open the reference receiver");
    if (!plan.vbi) return;
    st.click(terminal.Button6);  // Switch Protocol
    if (!Serve([&] { return reference->SpeaksVbi(); }, 10'000))
      Fault("the reference receiver was not switched to VBI");
  }

  void Record(Outcome outcome, const std::string& text, const std::string& why) {
    ++tally[static_cast<int>(kind)].outcomes[static_cast<int>(outcome)];
    if (outcome == Outcome::kWrong) Fault("wrong verdict \"" + text + "\": " + why + Lines());
  }

  void JudgeDownload(Unit& unit, const Seen& seen) {
    sim::SimulatedModule& m = *unit.module;
    const bool new_image = m.ImagesReceived() > unit.images;
    const std::string& text = seen.text;
    if (seen.color == app::kRed) {
      // Every port of the job is a fresh pseudo-terminal nobody else holds.
      const bool wrong = text == "Open Com Port Failed!" || text.starts_with("Cannot open") ||
                         text == app::AutoUpdatePage::kStillStoppingText ||
                         (text == "Restart module and Tool!" && new_image);
      return Record(wrong ? Outcome::kWrong : Outcome::kFail, text,
                    "the port exists and is free, the last run had left, no image was taken");
    }
    const Payload version_image =
        unit.options.version_field3 == "3" ? Payload::kImageP1 : Payload::kImageP2;
    const bool automatic = kind == Kind::kAuto;
    std::string missing;
    if (text == " FW(AP) update OK!(OK)") {
      const Payload due = automatic ? version_image : image_at_start;
      if (!new_image || m.ImageReceived() != due) missing = "no new complete image of the due kind";
      // Through the module's update mode; after a stop and Start the command may be the stopped
      // run's, taken by a module that then waited for its image.
      if (m.UpdateCommands() == 0) missing += "; no update command";
    } else if (text == " FW Re-update OK!(OK)" && automatic) {
      // The fall-back sends ImageP2, unless the module's answer came in after all while it
      // entered the kernel: then the image its version calls for.
      const bool due = m.ImageReceived() == Payload::kImageP2 || m.ImageReceived() == version_image;
      if (!new_image || !due) missing = "no new ImageP2 nor the image its version calls for";
      if (m.KernelEntries() == 0) missing += "; no kernel entry";
    } else if (text == "All Image Download OK!") {
      if (m.LoadersReceived() <= unit.loaders || m.LoaderReceived() != Payload::kLoader2)
        missing = "no new LoaderImage2";
      if (!new_image || m.ImageReceived() != image_at_start) missing += "; no new image";
    } else if (text == "Close ComPort for NMEA mode!" || text == " F3 Success - 4(Test OK!)") {
      const sim::VbiActivity vbi = m.Vbi();
      const auto& phases = vbi.phases_sent;
      const bool nmea_out = text[0] == 'C';  // the road ends at phase 4 or goes on to 0
      const bool road = phases.size() >= (nmea_out ? 3u : 4u) && phases[1] == 6 && phases[2] == 4 &&
                        (nmea_out || phases[3] == 0);
      if (!road || !vbi.calibration_data_sent || vbi.pvts_acknowledged < 1)
        missing = "the module's calibration did not pass: " + std::to_string(phases.size()) +
                  " phase(s) sent, data " + (vbi.calibration_data_sent ? "" : "not ") + "sent, " +
                  std::to_string(vbi.pvts_acknowledged) + " PVT(s) acknowledged";
    } else {
      missing = "not a pass of this job";
    }
    Record(missing.empty() ? Outcome::kPass : Outcome::kWrong, text, missing);
  }

  void AutomaticJob() {
    sim::ModuleOptions options = QuickModule(AnyBaud());
    options.version_field3 = Chance(50) ? "3" : "5";
    const int fault = Uniform(0, 4);  // it answers, is silent, dead, loses a block or answers late
    options.silent = fault == 1;
    options.dead_firmware = fault == 2 || (fault == 3 && Chance(50));
    if (fault == 3) options.fail_block = Uniform(2, 6);
    if (fault == 4) options.reply_delay_ms = Uniform(500, 3500);
    auto& page = form().AutoPage;
    Unit& unit = AddUnit(options, &page.Label63);
    ShowPage(page.Sheet);
    st.click(page.Button12);  // Scan ComPort
    page.ComboBox6.SetText(unit.module->PortPath());
    page.ComboBox9.SetText(std::to_string(options.baud));
    st.click(page.Button13);

    auto ended = [&] {
      // Given up, the abandoned attempt must not write another byte to the module.
      if (!unit.seen.empty() && unit.seen.back().text == "Restart module and Tool!")
        st.serial.SetQuiet(Ports(false));
      auto worker = board().Worker[0].Get();
      const ui::Color color = page.Label63.FontColor();
      return page.Button13.Enabled() && (!worker || worker->Finished()) &&
             (color == app::kGreen || color == app::kRed);
    };
    if (!Serve(ended, kJobLimitMs))
      return Fault("the automatic update hung at \"" + page.Label63.Caption() + "\"");
    // The road's failed steps are shown on the way; the line OK comes back with is the verdict.
    JudgeDownload(unit, {page.Label63.Caption(), page.Label63.FontColor(), st.clock.Ticks()});
  }

  // Start, pressed again while the last run's workers are still leaving. Once it has started, the
  // lines it reset are shown at once: a busy machine may let the next refresh come too late.
  bool PressStart() {
    auto& page = form().McdPage;
    for (int attempt = 0; attempt < 10; ++attempt) {
      st.click(page.Button1);
      if (!page.Button1.Enabled()) return form().RefreshBoard(), true;
      if (board().MessageText.Get() != "Last run still stopping: press Start again!") break;
      Serve([] { return false; }, 500);
    }
    Fault("Start was refused: \"" + board().MessageText.Get() + "\"" + Lines());
    return false;
  }

  // Stop at a random moment of the run, then Start: at once, or after a while in which the
  // stopped run must neither write to a module nor change a status line.
  void StopAndStartAgain() {
    auto& page = form().McdPage;
    Serve([] { return false; }, static_cast<uint32_t>(Uniform(0, 4000)));
    // The lines shown so far belong to the stopped run; they are judged on its evidence.
    Sample();
    for (Unit& unit : units) {
      for (const Seen& seen : unit.seen) JudgeDownload(unit, seen);
      unit.seen.clear();
    }
    Stop(page.Button7);
    ++stops;
    if (Chance(50)) {
      auto status_lines = [&] {
        std::vector<std::string> lines;
        for (size_t slot = 0; slot < units.size(); ++slot)
          lines.push_back(board().StatusText[slot].Get());
        return lines;
      };
      const auto lines = status_lines();
      if (!Serve([&] { return WorkersFinished(); }, kLeaveLimitMs))
        Fault("a stopped run's worker did not leave");
      Serve([] { return false; }, static_cast<uint32_t>(Uniform(0, 1500)));
      EXPECT_EQ(status_lines(), lines) << Where() << "lines changed after the stop";
    }
    CheckNoWritesWhileQuiet();
    for (Unit& unit : units) {
      unit.last_caption = unit.label->Caption();
      unit.images = unit.module->ImagesReceived();
      unit.loaders = unit.module->LoadersReceived();
    }
    PressStart();
  }

  void MultiPortJob() {
    const uint32_t baud = AnyBaud();
    UseReference({baud, baud, true, 44, false}, true);
    auto& page = form().McdPage;
    auto& options_group = page.Options;
    const bool calibrating = kind == Kind::kXtal || kind == Kind::kAllImageXtal;
    const bool all_image = kind == Kind::kAllImage || kind == Kind::kAllImageXtal;
    const bool vbi_out = calibrating && Chance(50);
    const int count = Uniform(1, kind == Kind::kFwAp ? 3 : 2);
    for (int slot = 0; slot < count; ++slot) {
      sim::ModuleOptions options = QuickModule(baud);
      options.version_field3 = Chance(50) ? "3" : "5";
      options.vbi.stay_in_vbi = vbi_out;
      const bool fault = Chance(25);
      if (!calibrating) {
        if (fault) options.fail_block = Uniform(2, 8);
        if (kind == Kind::kAllImage) options.dead_firmware = Chance(50);
      } else {
        options.vbi.at_boot = kind == Kind::kXtal;
        options.vbi.after_all_image = true;
        options.dead_firmware = kind == Kind::kAllImageXtal;
        // A module that never starts calibrating, or ends uncalibrated.
        if (fault)
          options.vbi.phases =
              Chance(50) ? std::array<uint8_t, 4>{7, 6, 5, 0} : std::array<uint8_t, 4>{7, 6, 4, 3};
      }
      AddUnit(options, &page.StatusLabel(slot)).pass_text =
          calibrating ? (vbi_out ? " F3 Success - 4(Test OK!)" : "Close ComPort for NMEA mode!")
          : all_image ? "All Image Download OK!"
                      : " FW(AP) update OK!(OK)";
    }
    ShowPage(page.Sheet);
    st.click(page.Button16);  // Scan ComPort
    if (page.ComPortList.Items().size() != units.size() + 1) Fault("the port list was not scanned");
    for (int slot = 0; slot < count; ++slot) page.ComPortList.SetChecked(slot, true);

    if (all_image && options_group.AutoCalibration.Checked())
      st.click(options_group.AutoCalibration);
    if (kind == Kind::kFwAp) st.click(options_group.RadioButton5);
    if (kind == Kind::kAllImage) st.click(options_group.RadioButton2);
    if (kind == Kind::kXtal) st.click(options_group.RadioButton4);
    // Ticked afresh, so that every slot's jobs are download and calibration again.
    if (kind == Kind::kAllImageXtal) st.click(options_group.AutoCalibration);
    if (kind != Kind::kXtal) {
      form().OpenDialog1.SetFileName(all_image ? all_image_file : fwap_file);
      st.click(page.Button2);
    }
    if (calibrating) {
      options_group.ComboBox8.SetItemIndex(vbi_out ? 1 : 2);
      page.Edit25.SetText("15000");
    }
    image_at_start = board().ChipIsSecond.load() != 0 ? Payload::kImageP2 : Payload::kImageP1;
    if (!PressStart()) return;
    if (Chance(40)) StopAndStartAgain();

    // A red line ends a slot's run; so does its pass line, once its run has shown it.
    auto final = [](const Unit& u) {
      return !u.seen.empty() &&
             (u.seen.back().color == app::kRed || u.seen.back().text == u.pass_text);
    };
    if (!Serve([&] { return std::ranges::all_of(units, final); }, kJobLimitMs))
      Fault("the multi-port run hung, message line \"" + board().MessageText.Get() + "\"" +
            Lines());
    // A module handed back in VBI keeps its worker reading, and a calibration that failed gives
    // back Start alone: Stop ends the run and gives the port list back.
    if (!WorkersFinished() || !page.GroupBox1.Enabled()) Stop(page.Button7);
    for (Unit& unit : units)
      for (const Seen& seen : unit.seen) JudgeDownload(unit, seen);
  }

  void TickTestPorts() {
    auto& page = form().CnoPage;
    ShowPage(page.Sheet);
    st.click(page.Button8);  // Scan ComPort
    for (int slot = 0; slot < std::ssize(units); ++slot) page.CheckListBox1.SetChecked(slot, true);
  }

  bool StartTest(uint32_t baud, uint32_t test_ms) {
    auto& page = form().CnoPage;
    page.Edit6.SetText(std::to_string(test_ms));
    page.ComboBox5.SetText(std::to_string(baud));
    st.serial.ForgetReads();
    st.click(page.Button9);
    if (page.Button9.Enabled()) Fault("Start was refused: \"" + page.Label55.Caption() + "\"");
    return !page.Button9.Enabled();
  }

  // Whether the program had read the whole sentence `text` from the port well before the verdict:
  // what it reads later may still be on its way through the worker when the verdict falls, and a
  // sentence cut short by a dropped backlog never arrives.
  bool ReadInTime(const std::string& port, const std::string& text, const Seen& verdict) const {
    return st.serial.ReadBy(port, text, verdict.tick - kEvidenceMarginMs);
  }

  void CnoJob() {
    ReferencePlan plan;
    plan.opened_at = AnyBaud();
    const int reference_kind = Uniform(0, 3);  // good (half), weak, silent
    plan.talks_at = reference_kind == 3 ? OtherBaud(plan.opened_at) : plan.opened_at;
    plan.cn0 = reference_kind == 2 ? Uniform(26, 32) : Uniform(40, 46);
    plan.sbas_strongest = Chance(50);
    UseReference(plan, false);

    const uint32_t baud = AnyBaud();
    const bool refer = Chance(75);
    const bool bias_on = Chance(50);
    const int bias = Uniform(0, 3);
    const int key_in = Uniform(35, 44);
    const int limit = (refer ? plan.cn0 : key_in) - (bias_on ? bias : 0);
    const bool sbas = Chance(50);
    auto& page = form().CnoPage;
    const int count = Uniform(1, 3);
    for (int slot = 0; slot < count; ++slot) {
      sim::ModuleOptions options = QuickModule(baud);
      options.satellites = Sky(sbas);
      const int module_kind = Uniform(0, 7);  // strong (half), weak, silent, at another speed
      options.strongest_cn0 =
          module_kind < 4 ? limit + Uniform(0, 3) : std::max(1, limit - Uniform(1, 6));
      options.silent = module_kind == 6;
      if (module_kind == 7) options.baud = OtherBaud(baud);
      AddUnit(options, &page.StatusLabel(slot)).running_text = "Testing C/No";
    }
    TickTestPorts();
    st.click(page.RadioButton6);
    if (page.CheckBox1.Checked() != refer) st.click(page.CheckBox1);
    if (page.CheckBox2.Checked() != bias_on) st.click(page.CheckBox2);
    page.Edit7.SetText(std::to_string(key_in));
    page.Edit8.SetText(std::to_string(bias));
    if (!StartTest(baud, kCnoTestMs)) return;

    auto judged = [&] {
      return std::ranges::none_of(units, [](const Unit& u) { return u.seen.empty(); });
    };
    if (!Serve(judged, kJobLimitMs)) return Fault("the C/N0 test hung" + Lines());

    const std::string reference_gsv =
        LastGsvSentence(sim::WithStrongestCn0(Sky(plan.sbas_strongest), plan.cn0));
    const bool reference_heard = plan.talks_at == plan.opened_at;
    for (size_t slot = 0; slot < units.size(); ++slot) {
      Unit& unit = units[slot];
      const Seen& verdict = unit.seen.front();
      const int cn0 = unit.options.strongest_cn0;
      const auto sky = sim::WithStrongestCn0(unit.options.satellites, cn0);
      const bool module_heard = !unit.options.silent && unit.options.baud == baud;
      const std::string due = refer && !reference_heard ? cno::CnoPage::kNoReferenceText
                              : !module_heard           ? cno::CnoPage::kNoNmeaText
                                              : "SV " + std::to_string(ShownPrnOfStrongest(sky)) +
                                                    (cn0 >= limit ? " : Pass!" : " : Fail!");
      if (verdict.text == due) {
        const Outcome shown = verdict.color == app::kGreen ? Outcome::kPass : Outcome::kFail;
        const bool cn0_wrong = shown == Outcome::kPass && page.SortedSatSnr[slot][0] != cn0;
        Record(cn0_wrong ? Outcome::kWrong : shown, verdict.text,
               "the page's strongest C/N0 " + std::to_string(page.SortedSatSnr[slot][0]) +
                   " is not the module's " + std::to_string(cn0));
        continue;
      }
      // Another red line than due is timing only if what it lacked had not yet come in.
      const bool module_late = !ReadInTime(unit.module->PortPath(), LastGsvSentence(sky), verdict);
      const bool reference_late =
          refer && !ReadInTime(reference->PortPath(), reference_gsv, verdict);
      const bool excused = verdict.color == app::kRed &&
                           ((verdict.text == cno::CnoPage::kNoReferenceText && reference_late) ||
                            (verdict.text == cno::CnoPage::kNoNmeaText && module_late) ||
                            (verdict.text.starts_with("SV ") && (module_late || reference_late)));
      Record(excused ? Outcome::kFail : Outcome::kWrong, verdict.text,
             "due \"" + due + "\" (reference " + std::to_string(plan.cn0) + " dB-Hz" +
                 (reference_heard ? "" : " unheard") + ", limit " + std::to_string(limit) +
                 (refer ? " from it" : " keyed in") + ")");
    }
  }

  void CustomerIdJob() {
    auto& page = form().CnoPage;
    const uint32_t baud = AnyBaud();
    const int count = Uniform(1, 3);
    for (int slot = 0; slot < count; ++slot) {
      sim::ModuleOptions options = QuickModule(baud);
      const int module_kind = Uniform(0, 4);  // confirms (three in five), never, too late
      options.confirm_customer_id = module_kind != 3;
      if (module_kind == 4) options.reply_delay_ms = kIdTestMs + Uniform(300, kLateConfirmationMs);
      AddUnit(options, &page.StatusLabel(slot)).running_text = "Setting Customer ID ";
    }
    TickTestPorts();
    st.click(page.RadioButton7);
    static constexpr char kChars[] = "ABCDEFGHJKLMNPRSTUVWXYZabcxyz0123456789-_.";
    std::string id(Chance(10) ? 32 : Uniform(1, 16), 'A');
    for (char& c : id) c = kChars[Uniform(0, sizeof kChars - 2)];
    page.Edit9.SetText(id);
    if (!StartTest(baud, kIdTestMs)) return;

    // A late module's confirmation still turns its line green after the time-out, unless the
    // loaded machine let it be dropped with a backlog: it is given a while.
    const uint32_t started = st.clock.Ticks();
    auto settled = [&](const Unit& u) {
      return !u.seen.empty() &&
             (u.options.reply_delay_ms == 0 || u.seen.back().color == app::kGreen ||
              platform::Elapsed(st.clock.Ticks(), started, kIdTestMs + 2 * kLateConfirmationMs));
    };
    const uint32_t limit = kIdTestMs + kLateConfirmationMs + kJobLimitMs;
    if (!Serve([&] { return std::ranges::all_of(units, settled); }, limit))
      return Fault("the customer ID run hung" + Lines());
    // The modules that never confirmed keep their workers listening: the operator stops them.
    if (!WorkersFinished()) Stop(page.Button10);
    const std::string confirmation = sim::nmea::Frame("PQRV28,01," + id);
    for (Unit& unit : units) {
      const bool fault = !unit.options.confirm_customer_id || unit.options.reply_delay_ms > 0;
      for (const Seen& seen : unit.seen) {
        const bool pass = seen.text == id + " - Pass!" && seen.color == app::kGreen;
        const bool time_out = seen.text == "Time out : " + std::to_string(kIdTestMs / 1000) + "S";
        const bool confirmed = ReadInTime(unit.module->PortPath(), confirmation, seen);
        Record(pass && unit.module->CustomerId() == id ? Outcome::kPass
               : time_out && (fault || !confirmed)     ? Outcome::kFail
                                                       : Outcome::kWrong,
               seen.text,
               "sent \"" + id + "\", the module holds \"" + unit.module->CustomerId() +
                   "\"; a time-out is wrong once its confirmation came in");
      }
    }
  }

  void EraseJob() {
    CloseReference();
    sim::ModuleOptions options = QuickModule(9600);
    const int boot_kind = Uniform(0, 9);
    options.boot.kind = boot_kind < 7   ? sim::BootMenuKind::kMenu
                        : boot_kind < 8 ? sim::BootMenuKind::kSilent
                                        : sim::BootMenuKind::kBannerOnly;
    options.boot.window_ms = 20'000;
    Unit& unit = AddUnit(options, nullptr);
    auto& terminal = form().TerminalPage;
    ShowPage(terminal.Sheet);
    st.click(terminal.Button5);  // Scan ComPort
    terminal.ComboBox1.SetText(unit.module->PortPath());
    st.click(terminal.SpeedButton3);
    if (!TerminalOpen()) return Fault("the eraser did not open the module's port");
    const std::string finished = " Finished!(OK) ";
    const std::string nothing = " Nothing was erased!(NG) ";
    auto shown = [&](const std::string& line) { return terminal.Label21.Caption() == line; };
    const bool ended = Serve([&] { return shown(finished) || shown(nothing); }, 30'000);
    const std::string caption = terminal.Label21.Caption();
    if (!ended) st.click(terminal.Button4);  // Stop: the eraser would wait without end
    st.serial.SetQuiet(Ports(false));
    // The answers were written just before the eraser let go of the port.
    if (caption == finished) Serve([&] { return !unit.module->Erased().empty(); }, 5000);
    const size_t erased = unit.module->Erased().size();
    // Stopped short of a verdict: nothing was claimed.
    if (!ended) return Record(Outcome::kFail, "(stopped at \"" + caption + "\")", "");
    const std::string why = "the boot code erased " + std::to_string(erased) + " area(s)";
    if (caption == nothing) return Record(erased ? Outcome::kWrong : Outcome::kFail, caption, why);
    if (erased) return Record(Outcome::kPass, caption, "");
    // The eraser lets go of the port one tick after its answers. On the sped-up clock that can
    // come before the simulator has taken them in: it then hears them at the speed the close put
    // back, as garbage. They were on the module's line all the same.
    std::string keys;
    for (const sim::ReceivedChunk& chunk : unit.module->Received())
      keys.append(chunk.bytes.begin(), chunk.bytes.end());
    const bool answered = keys.find('y', keys.rfind('0')) != std::string::npos;
    Record(answered ? Outcome::kFail : Outcome::kWrong, caption, why + " and no answer reached it");
  }

  // No slot but the terminal's, or none at the end of the shift, may still hold a port.
  void CheckPortsLetGo(bool reference_may_stay, const std::string& when) {
    std::multiset<std::string> expected;
    if (reference_may_stay && TerminalOpen() && reference) expected.insert(reference->PortPath());
    EXPECT_EQ(st.serial.OpenPorts(), expected) << Where() << "ports open " << when;
    // The terminal's slot is the last.
    for (int slot = 0; slot < (reference_may_stay ? app::kTerminalSlot : app::kSlotCount); ++slot)
      if (board().ReadEnabled[slot].load() != 0 || board().Port[slot].Get())
        Fault("slot " + std::to_string(slot) + " still holds a port " + when);
  }

  // After every job: its workers have left, nothing was written after a stop, and the only port
  // still open is the reference receiver's on the terminal page.
  void RunJob(Kind job_kind) {
    kind = job_kind;
    ++tally[static_cast<int>(kind)].jobs;
    units.reserve(app::kModuleSlotCount);  // what AddUnit returns stays valid for the job
    constexpr std::array<void (ShiftRun::*)(), kKinds> kJobs = {
        &ShiftRun::AutomaticJob,  &ShiftRun::MultiPortJob, &ShiftRun::MultiPortJob,
        &ShiftRun::MultiPortJob,  &ShiftRun::MultiPortJob, &ShiftRun::CnoJob,
        &ShiftRun::CustomerIdJob, &ShiftRun::EraseJob};
    (this->*kJobs[static_cast<int>(kind)])();
    if (!Serve([&] { return WorkersFinished(); }, kLeaveLimitMs))
      Fault("a worker of the job is still running");
    CheckNoWritesWhileQuiet();
    st.serial.ForgetReads();
    CheckPortsLetGo(true, "after the job");
    units.clear();
    ListPorts();
  }

  void Run() {
    const auto began = std::chrono::steady_clock::now();
    std::printf("[%s] shift seed %u, %d jobs (FLASHPOST_SHIFT_SEED, FLASHPOST_SHIFT_JOBS)\n",
                instance.c_str(), seed, jobs);
    const std::string stem =
        (std::filesystem::temp_directory_path() / "flashpost-shift-").string() +
        std::to_string(seed) + "-" + std::to_string(std::random_device{}());
    fwap_file = stem + "-fwap.bin";
    all_image_file = stem + "-all-image.bin";
    for (const auto& [path, size] :
         {std::pair{fwap_file, 475 * 1024}, {all_image_file, 512 * 1024}}) {
      std::ofstream(path, std::ios::binary).close();
      std::filesystem::resize_file(path, size);
    }
    std::vector<Kind> round;
    for (job = 0; job < jobs; ++job) {
      if (round.empty()) {
        for (int k = 0; k < kKinds; ++k) round.push_back(static_cast<Kind>(k));
        round.insert(round.end(), 4, Kind::kAuto);
        std::shuffle(round.begin(), round.end(), rng);
      }
      RunJob(round.back());
      round.pop_back();
    }

    // The end of the shift: every run stopped, the reference closed, and nothing left open.
    st.click(form().McdPage.Button7);
    st.click(form().CnoPage.Button10);
    CloseReference();
    if (!Serve([&] { return WorkersFinished() && board().AllThreadsFinished(); }, kLeaveLimitMs))
      Fault("workers still running at the end of the shift");
    CheckPortsLetGo(false, "at the end of the shift");
    for (const auto& path : {fwap_file, all_image_file}) std::filesystem::remove(path);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("[%s] seed %u: %d jobs in %.1f s, %.0f jobs per minute, %d runs stopped\n",
                instance.c_str(), seed, jobs, seconds, jobs * 60.0 / seconds, stops);
    for (int k = 0; k < kKinds; ++k)
      std::printf("  %-18s %5d jobs %5d passes %5d fails %3d wrong\n", kKindNames[k], tally[k].jobs,
                  tally[k].outcomes[0], tally[k].outcomes[1], tally[k].outcomes[2]);
    std::fflush(stdout);
  }
};

}  // namespace

void RunShift(Station station, const std::string& instance) {
  ShiftRun(std::move(station), instance).Run();
}

void ExpectNothingLeftOver(const std::function<void()>& shift) {
  // A sanitizer starts a helper thread of its own with the first thread: it is there before the
  // count.
  std::thread([] {}).join();
  auto count = [](const char* dir) {
    return std::ranges::distance(std::filesystem::directory_iterator(dir));
  };
  const auto threads = count("/proc/self/task"), descriptors = count("/proc/self/fd");
  shift();
  // A thread that freed itself may still be on its way out of the kernel.
  for (int i = 0; i < 200 && count("/proc/self/task") > threads; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LE(count("/proc/self/task"), threads) << "threads left running after the shift";
  EXPECT_LE(count("/proc/self/fd"), descriptors) << "descriptors left open after the shift";
}

}  // namespace flashpost::shift
