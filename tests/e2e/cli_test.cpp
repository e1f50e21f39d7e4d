// The command line end to end: its grammar, one table over every command; each command against
// simulated modules and a simulated reference receiver on ptys, read as flashpost reads it, run on
// the test's clock, judged by its exit status and what it printed; each command ended by a signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/verdicts.h"
#include "board/colors.h"
#include "cli/cno_command.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/erase_command.h"
#include "cli/mcd_command.h"
#include "cli/terminal_command.h"
#include "cli/update_command.h"
#include "platform/child_process.h"
#include "platform/pty.h"
#include "platform/serial_device.h"
#include "sim/boot_menu.h"
#include "sim/reference_receiver.h"
#include "sim/simulated_module.h"

namespace flashpost {
namespace {

// Everything written to a temporary file; closes it.
std::string Slurp(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  return text;
}

std::vector<std::string> Split(const std::string& text, char at) {
  std::vector<std::string> pieces;
  for (size_t from = 0, to; from < text.size(); from = to + 1) {
    to = std::min(text.find(at, from), text.size());
    pieces.push_back(text.substr(from, to - from));
  }
  return pieces;
}

struct Row {
  const char* args;  // split at spaces
  int status;
  const char* says;  // on err for a refusal, on out for help
};

TEST(CliUsageTest, EveryCommandRefusesABadCommandLineAtOnceNamingWhatIsWrong) {
  const Row rows[] = {
      {"update", 2, "update needs --port NAME"},
      {"update --port", 2, "--port needs a value (NAME)"},
      {"update --port a --port b", 2, "--port is given twice"},
      {"update --port a --baud garbage", 2, "--baud needs a whole number from 1 to 4000000, not"},
      {"update --port a --bogus", 2, "update has no option '--bogus'"},
      {"update --port a stray", 2, "update takes no argument 'stray'"},
      {"update --port a --verify-timeout-s 5", 2, "--verify-timeout-s belongs to --verify"},
      {"update --port a --verify --verify-timeout-s 0", 2, "needs a whole number from 1"},
      {"update --port /dev/flashpost-none\x1B", 2,  // a control byte is shown escaped
       "port '/dev/flashpost-none\\x1B' is not among the ports found (see flashpost ports; "
       "FLASHPOST_PORTS adds ports): no such device"},
      {"update --port /dev/null", 2, "FLASHPOST_PORTS adds ports): not a serial port"},
      {"erase --port /etc/passwd", 2, ": not a serial port (a regular file)"},
      {"terminal --port /dev/flashpost-none", 2, "is not among the ports found"},
      {"mcd --reference /dev/fp-r --port /dev/fp-a --job fwap", 2, "is not among the ports found"},
      {"mcd --port a --job fwap", 2, "mcd needs --reference PORT"},
      {"mcd --reference r --job fwap", 2, "mcd needs --port NAME or --ports"},
      {"mcd --reference r --port a", 2, "mcd needs --job"},
      {"mcd --reference r --port a --job fw", 2,
       "all-image-code, xtal or all-image-xtal, not 'fw'"},
      {"mcd --reference r --ports a,,b --job fwap", 2, "single commas"},
      {"mcd --reference r --port a --port a --job fwap", 2, "port 'a' is named twice"},
      {"mcd --reference r --port r --job fwap", 2, "is the reference receiver's"},
      {"mcd --reference r --ports a,b,c,d,e,f,g,h,i --job fwap", 2, "at most 8 ports"},
      {"mcd --reference r --port a --job fwap --output vbi", 2, "belongs to the calibrating jobs"},
      {"mcd --reference r --port a --job xtal --verify", 2, "after which the module restarts"},
      {"mcd --reference r --port a --job fwap --timeout-s 0", 2, "needs a whole number from 1"},
      {"cno --port a", 2, "cno --test cno needs --reference PORT"},
      {"cno --reference r", 2, "cno needs --port NAME"},
      {"cno --port a --reference r --limit 40", 2, "--limit counts only with --key-in"},
      {"cno --port a --reference r --bias 2 --no-bias", 2, "contradict each other"},
      {"cno --port a --reference r --id X", 2, "--id belongs to --test id"},
      {"cno --port a --test id", 2, "cno --test id needs --id TEXT"},
      {"cno --port a --test id --id xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 2, "at most 32"},
      {"cno --port a --test id --id x --reference r", 2, "belong to --test cno"},
      {"cno --port a --reference r --timeout-ms -5", 2, "--timeout-ms needs a whole number from 0"},
      {"cno --port a --reference r --bias 100", 2, "--bias needs a whole number from -99 to 99"},
      {"cno --port a --reference r --key-in --limit 100", 2, "from 0 to 99"},
      {"erase --json", 2, "erase needs --port NAME"},
      {"erase --port a --timeout-s 0", 2, "--timeout-s needs a whole number"},
      {"terminal", 2, "terminal needs --port NAME"},
      {"terminal --port x --seconds -3", 2, "--seconds needs a whole number"},
      {"ports extra", 2, "ports takes no arguments, not 'extra'"},
      {"flash", 2, "unknown command 'flash'"},
      {"--all-pages --bogus", 2, "has no option '--bogus'"},
      {"--record", 2, "--record needs a value (FILE)"},
      // help, also after other options
      {"update --help", 0, "usage: flashpost update [--port NAME]"},
      {"cno --port a --help", 0, "  --key-in "},
  };
  for (const Row& row : rows) {
    const std::vector<std::string> args = Split(row.args, ' ');
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = cli::Run(args, out, err);
    const std::string printed = Slurp(out), errors = Slurp(err);
    SCOPED_TRACE(row.args);
    EXPECT_EQ(status, row.status) << errors;
    const std::string& where = row.status == 0 ? printed : errors;
    EXPECT_NE(where.find(row.says), std::string::npos) << where;
    if (row.status == 2) {
      EXPECT_EQ(printed, "");
      EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), args[0] == "flash" ? 11 : 1)
          << errors;
    }
  }
}

using sim::ModuleOptions;

// Far from zero, so that a duration counted from the wrong end shows.
constexpr uint32_t kStartTick = 1'000'000'000;

struct Station {
  std::vector<std::unique_ptr<sim::SimulatedModule>> modules;
  std::unique_ptr<sim::SimulatedReference> reference;
  std::string file = std::filesystem::temp_directory_path() /
                     ("flashpost-e2e-" + std::to_string(std::random_device{}()));
  ~Station() { std::filesystem::remove(file); }
};

struct CliLine {
  const char* name;
  std::vector<ModuleOptions> modules;
  std::optional<sim::ReferenceOptions> reference;
  // Split at spaces. {0}, {1}...: a module's port, {R} the reference's, {F} a file's; a last
  // ">/dev/full": the output goes there.
  std::string args;
  int status;
  // Printed, '|' between the pieces (ports put in); "2*" before a piece: exactly twice.
  const char* says;
  // Each module's last image, update commands, kernel entries and loaders, '|' between modules.
  const char* ends;
  void (*check)(const Station&);
  uint64_t file_size;
  double speed;
  uint32_t min_ms;  // the run's shortest duration
};

// Rows read like calls: not every compiler takes parenthesised aggregate initialisation yet.
CliLine Line(const char* name, std::vector<ModuleOptions> modules,
             std::optional<sim::ReferenceOptions> reference, std::string args, int status,
             const char* says, const char* ends = "", void (*check)(const Station&) = nullptr,
             uint64_t file_size = 0, double speed = 20, uint32_t min_ms = 0) {
  return {name, modules, reference, args, status, says, ends, check, file_size, speed, min_ms};
}

sim::ReferenceOptions Ref(int cn0 = -1, uint32_t baud = 115200, bool vbi = false) {
  sim::ReferenceOptions o{.baud = baud, .start_in_vbi = vbi};
  if (cn0 >= 0) o.satellites = sim::WithStrongestCn0(o.satellites, cn0);
  return o;
}
ModuleOptions Cn0(int cn0) { return {.strongest_cn0 = cn0}; }
ModuleOptions Boot(sim::BootMenuKind kind) { return {.boot = {.kind = kind, .window_ms = 20'000}}; }
const ModuleOptions kFast{.baud = 115200};
const ModuleOptions kVbi{.baud = 115200, .vbi = {.at_boot = true}};

using enum sim::BootMenuKind;
const std::string kEight = "--ports {0},{1},{2},{3},{4},{5},{6},{7}";

const std::vector<CliLine> kLines = {
    // The automatic page's update. Its answer window closes at the first supervision tick 2 s
    // after the second probe, 2.3 to 2.8 s after the first: an answer at 3.5 s is always too late.
    Line("UpdateSendsTheSecondImageToVersionFive", {{}}, {}, "update --port {0} --baud 9600", 0,
         "1*[navy] P2 File is being transferred...\n|[green]  FW(AP) update OK!(OK)\n|progress "
         "100%\n|PASS  FW(AP) update OK!(OK)  (update, ",
         "ImageP2 c1 k0 l0",
         [](const Station& s) {
           // Every chunk, understood or not: the port may be closed before the module reads.
           std::string text, probe = "$PQRV14,8*14\r\n";
           for (const auto& chunk : s.modules[0]->Received())
             text.append(chunk.bytes.begin(), chunk.bytes.end());
           EXPECT_NE(text.find(probe, text.find(probe) + 1), std::string::npos) << "probed twice";
         }),
    Line("UpdateTakesAnAnswerTooLateAsSilence", {{.version_field3 = "3", .reply_delay_ms = 3500}},
         {}, "update --port {0} --baud 9600", 0, "PASS  FW Re-update OK!(OK)", "ImageP2 c0 k1 l0"),
    Line("UpdateTakesALateAnswerInTime", {{.version_field3 = "3", .reply_delay_ms = 1000}}, {},
         "update --port {0} --baud 9600", 0, "PASS  FW(AP) update OK!(OK)", "ImageP1 c1 k0 l0"),
    Line("UpdateFallsBackToTheKernelAfterAFailedCommand",
         {{.version_field3 = "3", .no_nak_after_erase = true}}, {}, "update --port {0} --baud 9600",
         0, "PASS  FW Re-update OK!(OK)", "ImageP2 c1 k1 l0"),
    Line("UpdateReportsEveryRedText", {{.dead_firmware = true, .fail_block = 3}}, {},
         "update --port {0} --baud 9600", 1,
         "[red] Restart module and Tool!\n|FAIL Restart module and Tool!  (update, |sent ImageP2 "
         "CRC-32 |(not all of it)|2*[red] Xmodem_1K Download Failed!\n",
         "none c0"),
    Line("UpdateVerifiesTheNewFirmware", {{}}, {}, "update --port {0} --baud 9600 --verify --json",
         0,
         "\"status\": \" F/W Ver: 5.1\", \"color\": \"navy\"|\"status\": \" FW(AP) update "
         "OK!(OK)\", \"color\": \"green\", \"progress\": 100}|\"sent\": [{\"name\": \"ImageP2\", "
         "\"crc32\": \"|\"complete\": true}]|\"version_before\": \"5.1\"|\"version_after\": "
         "\"5.1\""),
    Line("UpdateVerifyFailsASilentFirmware", {{.dead_after_image = true}}, {},
         "update --port {0} --baud 9600 --verify --verify-timeout-s 3 --json", 1,
         "\"result\": \"fail\", \"status\": \"Verify failed: no NMEA from the module within 3 s\"",
         "ImageP2 c1 k0 l0"),
    Line("UpdateOnAPortThatDoesNotOpen", {}, {}, "update --port /dev/flashpost-none", 3,
         "[red] Cannot open /dev/flashpost-none port !\n|FAIL Cannot open /dev/flashpost-none "
         "port !|, no such device)"),
    Line("UpdateKeepsItsRecord", {{}}, {}, "update --port {0} --baud 9600 --record {F}", 0, "", "",
         [](const Station& s) {
           std::ifstream file(s.file);
           std::string record, more;
           ASSERT_TRUE(std::getline(file, record));
           for (const char* field : {"{\"ms\": ", "\"utc\": \"20", "\"host\": \"",
                                     "\"program\": \"Flashpost ", "\"crc32\": \""}) {
             EXPECT_NE(record.find(field), std::string::npos) << field << "\n" << record;
           }
           EXPECT_FALSE(std::getline(file, more)) << "one line a run";
         }),
    Line("UpdateWhoseOutputCannotBeWritten", {{}}, {}, "update --port {0} --baud 9600 >/dev/full",
         3, "cannot write the output"),
    Line("UpdateWithARecordThatCannotBeWritten", {{}}, {}, "update --port {0} --record /dev/full",
         3, "cannot write the record file /dev/full"),
    // The multi-port page. At 9600 each slot must reopen its module at that speed, although the
    // others switch the shared baud text to the kernel's 115200 meanwhile.
    Line(
        "McdUpdatesEightModulesInParallel", std::vector<ModuleOptions>(8), Ref(-1, 9600),
        "mcd --reference {R} --reference-baud 9600 " + kEight + " --job fwap --file {F}", 0,
        "[navy] Downloading....\n|slot 7 {7}: PASS  FW(AP) update OK!(OK)  (fwap, ",
        "ImageP2 c1 k0 l0|ImageP2 c1 k0 l0|ImageP2 c1 k0 l0|ImageP2 c1 k0 l0|ImageP2 c1 k0 "
        "l0|ImageP2 c1 k0 l0|ImageP2 c1 k0 l0|ImageP2 c1 k0 l0",
        [](const Station& s) { EXPECT_TRUE(s.reference->SpeaksVbi()) << "Start needs VBI"; },
        480 * 1024),
    Line("McdOnAPortThatDoesNotOpen", {}, Ref(),
         "mcd --reference {R} --port /dev/flashpost-none --job fwap --file {F}", 3,
         "Open Com Port Failed!", "", nullptr, 480 * 1024),
    // At 9600 the port goes to the kernel's 115200 for the download, back for the reports.
    Line(
        "McdDownloadsAllImageThenCalibratesWithTheReferencesAiding",
        {2, {.dead_firmware = true, .vbi = {.after_all_image = true, .stay_in_vbi = true}}},
        Ref(-1, 9600),
        "mcd --reference {R} --reference-baud 9600 --ports {0},{1} --job all-image-xtal --output "
        "vbi --file {F}",
        0, "{1}: PASS  F3 Success - 4(Test OK!)", "ImageP2 c0 k1 l1|ImageP2 c0 k1 l1",
        [](const Station& s) {
          for (const auto& module : s.modules) {
            EXPECT_GE(module->Vbi().pvts_received, 1);
            EXPECT_EQ(module->Vbi().pvts_acknowledged, module->Vbi().pvts_received);
            EXPECT_EQ(module->Vbi().damaged_ephemerides, 0) << "records reach it as sent";
          }
          EXPECT_EQ(s.reference->EphemerisRequests(), 1) << "once the reference has its fix";
        },
        512 * 1024),
    Line("McdCalibratesOrFailsOnARedStep",
         {kVbi, {.baud = 115200, .vbi = {.at_boot = true, .phases = {7, 4, 4, 0}}}}, Ref(),
         "mcd --reference {R} --ports {0},{1} --job xtal --file {F}", 1,
         "{0}: PASS Close ComPort for NMEA mode!  (xtal, |{1}: FAIL  F1 Failure - 2(Test Fail!)  (",
         "", nullptr, 1),
    Line("McdDoesNotCalibrateAfterAFailedDownload",
         {{.baud = 115200, .dead_firmware = true, .no_nak_after_kernel_entry = true}}, Ref(),
         "mcd --reference {R} --port {0} --job all-image-xtal --waiting-ms 3000 --file {F}", 1,
         "{0}: FAIL Download Failed!", "none c0 k1 l0", nullptr, 512 * 1024),
    Line(
        "McdResendsAnUnacknowledgedPvtUntilTheTimeOut",
        {{.baud = 115200, .vbi = {.at_boot = true, .acknowledge_pvt = false, .stay_in_vbi = true}}},
        Ref(), "mcd --reference {R} --port {0} --job xtal --output vbi --file {F}", 1,
        "{0}: FAIL Time out : 35S", "",
        [](const Station& s) { EXPECT_GE(s.modules[0]->Vbi().pvts_received, 10); }, 1),
    Line("McdRefusedStart", {kFast}, Ref(), "mcd --reference {R} --port {0} --job fwap --file {F}",
         3, "[red] File size is over 480K or small than 470K!(NG)\n", "none c0 k0 l0", nullptr,
         100 * 1024),
    // An image takes its real 40 s on a paced line.
    Line("McdIsHeldToItsTimeLimit", {{.baud = 115200, .pace_line_rate = true}}, Ref(),
         "mcd --reference {R} --port {0} --job fwap --file {F} --timeout-s 8 --json", 1,
         "gave up after 8 s|\"port\": \"{0}\", \"result\": \"fail\"", "none c1 k0 l0", nullptr,
         475 * 1024, 20, 8000),
    Line("CnoWithABias", {Cn0(44), Cn0(42), Cn0(41)}, Ref(44),
         "cno --reference {R} --port {0} --port {1} --port {2} --bias 2 --timeout-ms 4000", 1,
         "slot 0 {0}: PASS SV |slot 1 {1}: PASS SV |slot 2 {2}: FAIL SV |slot 1 {1}: [navy] "
         "Testing C/No 42dBHz\n|1*slot 2 {2}: [red] SV ",
         "", [](const Station& s) { EXPECT_EQ(s.modules[0]->TestStarts(), 1); }),
    Line("CnoHearsNoReferenceAtAnotherSpeed", {Cn0(45)}, Ref(44, 9600),
         "cno --reference {R} --port {0} --timeout-ms 3000", 3,
         "slot 0 {0}: FAIL No SV from Ref. GPS : Fail!"),
    Line(
        "CnoOpensTheReferenceAtItsSpeed", {{.baud = 4800, .strongest_cn0 = 45}}, Ref(44, 9600),
        "cno --reference {R} --reference-baud 9600 --port {0} --baud 4800 --timeout-ms 3000 --json",
        0, "\"port\": \"{0}\", \"result\": \"pass\""),
    Line("CnoAgainstAKeyedInLimit", {Cn0(38)}, Ref(30),
         "cno --reference {R} --port {0} --key-in --limit 39 --no-bias --timeout-ms 3000", 1,
         "slot 0 {0}: FAIL SV "),
    Line("CnoCustomerIdPassesOnlyWhenConfirmed", {{}, {.confirm_customer_id = false}}, {},
         "cno --test id --id ACME-0042 --ports {0},{1} --timeout-ms 3000 --json", 1,
         "\"port\": \"{0}\", \"result\": \"pass\", \"status\": \"ACME-0042 - Pass!\"|\"port\": "
         "\"{1}\", \"result\": \"fail\", \"status\": \"Time out : 3S\"",
         "", [](const Station& s) { EXPECT_EQ(s.modules[0]->CustomerId(), "ACME-0042"); }),
    Line("CnoRefusedId", {{}}, {}, "cno --test id --id BAD$ID --port {0}", 3,
         "[red] Customer ID must be printable characters without $ or *!(NG)\n", "",
         [](const Station& s) { EXPECT_EQ(s.modules[0]->CustomerId(), ""); }),
    // The flash eraser, at real time: it reads the menu three times, 100 ms apart.
    Line(
        "EraseAnswersEveryQuestion", {Boot(kMenu)}, {}, "erase --port {0} --timeout-s 60", 0,
        " Got connection!  \n| Finished!(OK) \n|answered 'y': Erase firmware? (y/n)\n|answered "
        "'y': Erase calibration data? (y/n)\n|PASS  Finished!(OK)   (erase, ",
        "",
        [](const Station& s) {
          // The answers went out just before the eraser let go of the port.
          for (int i = 0; i < 200 && s.modules[0]->Erased().size() < 3; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          EXPECT_EQ(s.modules[0]->Erased(),
                    (std::vector<std::string>{"firmware", "settings", "calibration"}));
        },
        0, 1),
    Line("EraseOnAPortThatDoesNotOpen", {}, {}, "erase --port /dev/flashpost-none", 3,
         " Changing Baud Rate to 115200.....\n|[red] Cannot open /dev/flashpost-none port !\n"),
    Line(
        "EraseGivesUpOnAModuleWithoutItsBootCode", {Boot(kSilent)}, {},
        "erase --port {0} --timeout-s 3 --json", 1,
        "\"caption\": \" Please connect your module!  \"|gave up after 3 s in eraser state "
        "0|\"caption\": \" Starting.....\"",
        "", [](const Station& s) { EXPECT_TRUE(s.modules[0]->Erased().empty()); }, 0, 1, 3000),
    Line("TerminalSwitchesTheReferenceToVbi", {}, Ref(-1, 9600),
         "terminal --port {R} --baud 9600 --protocol nmea --switch --seconds 3", 0,
         "/ 9600 bps|[ Switch to VBI Protocol ]|VBI Msg ID 121 :", "",
         [](const Station& s) { EXPECT_TRUE(s.reference->SpeaksVbi()); }),
    Line("TerminalSwitchesTheReferenceBackToNmea", {}, Ref(-1, 115200, true),
         "terminal --port {R} --protocol vbi --switch --seconds 3", 0, "$GPGGA,", "",
         [](const Station& s) { EXPECT_FALSE(s.reference->SpeaksVbi()); }),
};

// The command line read and run as flashpost does it, on the test's clock and ports.
int RunLine(const std::vector<std::string>& args, platform::Clock& clock,
            platform::SerialSystem& serial, std::FILE* out, std::FILE* err) {
  auto run = [&](const cli::CommandGrammar& grammar, auto from, auto go, auto options) {
    cli::ParsedOptions parsed;
    std::string error;
    if (cli::ParseCommandLine(grammar, {args.begin() + 1, args.end()}, parsed, error) !=
            cli::ParseResult::kOk ||
        !from(parsed, options, error)) {
      std::fprintf(err, "%s\n", error.c_str());
      return int{cli::kUsage};
    }
    return go(options, clock, serial, out, err);
  };
  using namespace cli;
  if (args[0] == "update")
    return run(UpdateCommand(), UpdateOptionsFrom, RunUpdate, UpdateOptions{});
  if (args[0] == "mcd") return run(McdCommand(), McdOptionsFrom, RunMcd, McdOptions{});
  if (args[0] == "cno") return run(CnoCommand(), CnoOptionsFrom, RunCno, CnoOptions{});
  if (args[0] == "erase") return run(EraseCommand(), EraseOptionsFrom, RunErase, EraseOptions{});
  return run(TerminalCommand(), TerminalOptionsFrom, RunTerminal, TerminalOptions{});
}

std::string Put(std::string text, const std::vector<std::pair<std::string, std::string>>& names) {
  for (const auto& [key, value] : names) {
    for (size_t at; (at = text.find(key)) != std::string::npos;)
      text.replace(at, key.size(), value);
  }
  return text;
}

void PrintTo(const CliLine& line, std::ostream* os) { *os << line.args; }

class CliStationTest : public ::testing::TestWithParam<CliLine> {};

TEST_P(CliStationTest, TheRunEndsWithItsStatusAndSaysWhatHappened) {
  const CliLine& line = GetParam();
  platform::ScaledClock clock(line.speed, kStartTick);
  Station station;
  std::vector<std::pair<std::string, std::string>> names;
  std::string listed = "/dev/flashpost-none";  // listed, but not there
  auto serve = [&](auto& sim, const std::string& key) {
    ASSERT_TRUE(sim.ok());
    sim.Start();
    listed += ":" + sim.PortPath();
    names.push_back({key, sim.PortPath()});
  };
  for (const ModuleOptions& options : line.modules) {
    station.modules.push_back(std::make_unique<sim::SimulatedModule>(options, clock));
    ASSERT_NO_FATAL_FAILURE(
        serve(*station.modules.back(), "{" + std::to_string(names.size()) + "}"));
  }
  if (line.reference) {
    station.reference = std::make_unique<sim::SimulatedReference>(*line.reference, clock);
    ASSERT_NO_FATAL_FAILURE(serve(*station.reference, "{R}"));
  }
  if (line.file_size) std::ofstream(station.file) << std::string(line.file_size, '\0');
  names.push_back({"{F}", station.file});
  std::vector<std::string> args = Split(Put(line.args, names), ' ');
  const bool full = args.back() == ">/dev/full";
  if (full) args.pop_back();

  setenv("FLASHPOST_PORTS", listed.c_str(), 1);
  std::FILE* out = full ? std::fopen("/dev/full", "w") : std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int status = RunLine(args, clock, *platform::MakeHostSerialSystem(), out, err);
  unsetenv("FLASHPOST_PORTS");
  const std::string printed = full ? (std::fclose(out), "") : Slurp(out), errors = Slurp(err);
  EXPECT_EQ(status, line.status) << printed << errors;
  for (std::string text : Split(Put(line.says, names), '|')) {
    const int times = text[1] == '*' ? text[0] - '0' : -1;
    if (times >= 0) text.erase(0, 2);
    int seen = 0;
    for (size_t at = 0; (at = (printed + errors).find(text, at)) != std::string::npos; ++at) ++seen;
    EXPECT_TRUE(times < 0 ? seen > 0 : seen == times) << seen << " times: " << text << "\n"
                                                      << printed << errors;
  }
  // Each result's duration, counted from the run's start.
  const std::regex duration(R"("duration_ms": (\d+)|\((?:\w|-)+, ([0-9.]+) s,)");
  for (std::sregex_iterator m(printed.begin(), printed.end(), duration), end; m != end; ++m) {
    const double ms = (*m)[1].matched ? std::stod((*m)[1]) : std::stod((*m)[2]) * 1000;
    EXPECT_GE(ms, line.min_ms) << m->str();
    EXPECT_LT(ms, line.min_ms + 120'000) << m->str();
  }
  if (args.back() == "--json") {
    for (size_t at = 0; at < printed.size(); at = printed.find('\n', at) + 1)
      EXPECT_EQ(printed.compare(at, 7, "{\"ms\": "), 0) << "one object a line\n" << printed;
  }
  const std::vector<std::string> ends = Split(line.ends, '|');
  for (size_t i = 0; i < ends.size(); ++i) {
    const sim::SimulatedModule& m = *station.modules.at(i);
    std::ostringstream end;
    end << sim::PayloadName(m.ImageReceived()) << " c" << m.UpdateCommands() << " k"
        << m.KernelEntries() << " l" << m.LoadersReceived();
    EXPECT_EQ(end.str().substr(0, ends[i].size()), ends[i]) << "module " << i;
  }
  if (line.check) line.check(station);
}

INSTANTIATE_TEST_SUITE_P(Lines, CliStationTest, ::testing::ValuesIn(kLines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliVerdictTest, ASlotPassesOnlyOnItsJobsPassText) {
  using enum app::McdJob;
  using enum app::SlotOutcome;
  using app::kBlue, app::kGreen, app::kNavy, app::kRed;
  const struct {
    app::McdJob job;
    bool vbi_output;
    const char* status;
    ui::Color color;
    bool worker_done;
    app::SlotOutcome expected;
  } mcd[] = {
      {kFwAp, false, " FW(AP) update OK!(OK)", kGreen, false, kPassed},
      // Another job's success, or the automatic page's fall-back, is not this job's.
      {kFsa, false, " FW(AP) update OK!(OK)", kGreen, true, kFailed},
      // A download's red line ends it once its worker has ended.
      {kFwAp, false, "Waiting ACK failed...", kRed, false, kRunning},
      {kFwAp, false, "Xmodem_1K Download Failed!", kRed, true, kFailed},
      // A download followed by calibration: its download success is half the way; a red step
      // ends it at once.
      {kAllImageXtal, false, "All Image Download OK!", kGreen, false, kRunning},
      {kAllImageXtal, false, "Download Failed!", kRed, false, kFailed},
      {kXtal, true, " F3 Success - 4(Test OK!)", kNavy, false, kPassed},
      {kXtal, false, " F3 Success - 4(Test OK!)", kNavy, true, kFailed},
      {kXtal, false, "Close ComPort for NMEA mode!", kBlue, false, kPassed},
  };
  for (const auto& c : mcd)
    EXPECT_EQ(app::JudgeMcdSlot(c.job, c.vbi_output, c.status, c.color, c.worker_done), c.expected)
        << "'" << c.status << "' job " << static_cast<int>(c.job);
  // The page passes whatever ID came back; a module holding another one has not taken ours.
  const struct {
    const char* id;  // empty: the C/N0 test
    const char* status;
    ui::Color color;
    app::SlotOutcome expected;
  } cno[] = {{"", "Testing C/No", kNavy, kRunning}, {"", "SV 12 : Pass!", kGreen, kPassed},
             {"", "SV 0 : Fail!", kRed, kFailed},   {"", "SV 12 : Fail!", kGreen, kFailed},
             {"AB", "AB - Pass!", kGreen, kPassed}, {"AB", "ABC - Pass!", kGreen, kFailed}};
  for (const auto& c : cno)
    EXPECT_EQ(app::JudgeCnoSlot(*c.id == 0, c.id, c.status, c.color), c.expected) << c.status;
  // The eraser answered one 'y' per 'E' the module printed.
  EXPECT_TRUE(cli::QuestionsAnswered({"select> ", "", " 0  erase the flash"}).empty());
  EXPECT_EQ(cli::QuestionsAnswered({"Erase firmware? (y/n)", "kept", "EE"}),
            (std::vector<std::string>{"Erase firmware? (y/n)", "EE", "EE"}));
}

// As a line-control system or an operator's Ctrl-C ends a run: the port closed the orderly way
// (its own settings back) and the exit status 128 + signal.
TEST(CliSignalTest, ACommandClosesItsPortAndExitsWith128PlusTheSignal) {
  struct Case {
    std::vector<std::string> args;
    uint32_t baud;  // the port's speed once the run is under way
    int signal;
  } cases[] = {{{"update", "--baud", "9600"}, 9600, SIGTERM},
               {{"terminal", "--baud", "9600"}, 9600, SIGINT},
               {{"erase"}, 115200, SIGHUP},
               {{"cno", "--test", "id", "--id", "LINE7", "--baud", "9600"}, 9600, SIGTERM},
               {{"mcd", "--reference", "{R}", "--job", "fwap", "--file", "{F}"}, 115200, SIGINT}};
  const Station station;  // for its file
  std::ofstream(station.file) << std::string(475 * 1024, '\0');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    platform::PseudoTerminal module, reference;  // silent: every run waits for them
    platform::SystemClock clock;
    auto earlier = platform::MakeHostSerialSystem()->Open(module.SlavePath(), clock, 100);
    ASSERT_TRUE(earlier && earlier->Configure(2400));
    earlier.reset();  // the port rests at 2400, as an earlier program left it

    std::vector<std::string> argv = {FLASHPOST_BINARY};
    for (const std::string& arg : c.args)
      argv.push_back(arg == "{R}" ? reference.SlavePath() : arg == "{F}" ? station.file : arg);
    argv.insert(argv.end(), {"--port", module.SlavePath()});
    std::string error;
    auto child = platform::StartChildProcess(
        argv, {"FLASHPOST_PORTS=" + module.SlavePath() + ":" + reference.SlavePath()}, error);
    ASSERT_NE(child, nullptr) << error;
    for (int i = 0; i < 1000 && module.ProgramSideSettings().baud != c.baud; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(module.ProgramSideSettings().baud, c.baud) << child->Output();

    child->Signal(c.signal);
    EXPECT_EQ(child->Wait(std::chrono::seconds(30)), 128 + c.signal) << child->Output();
    EXPECT_FALSE(child->EndedBySignal()) << "killed with its port open";
    EXPECT_EQ(module.ProgramSideSettings().baud, 2400u) << "the port was not closed";
  }
}

}  // namespace
}  // namespace flashpost
