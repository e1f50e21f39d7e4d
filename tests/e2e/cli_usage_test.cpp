// The command line's grammar, one table over every command: what is refused, with which status
// and which words, before anything is opened.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "e2e/cli_test_support.h"

namespace flashpost {
namespace {

using testing::Slurp;

struct Row {
  std::vector<std::string> args;
  int status;
  const char* says;  // on err for a refusal, on out for help
};

TEST(CliUsageTest, EveryCommandRefusesABadCommandLineAtOnceNamingWhatIsWrong) {
  const std::string many = "a,b,c,d,e,f,g,h,i";
  const Row rows[] = {
      // update
      {{"update"}, 2, "update needs --port NAME"},
      {{"update", "--port"}, 2, "--port needs a value (NAME)"},
      {{"update", "--port", "a", "--port", "b"}, 2, "--port is given twice"},
      {{"update", "--port", "a", "--baud", "garbage"},
       2,
       "--baud needs a whole number from 1 to 4000000, not 'garbage'"},
      {{"update", "--port", "a", "--bogus"}, 2, "update has no option '--bogus'"},
      {{"update", "--port", "a", "stray"}, 2, "update takes no argument 'stray'"},
      {{"update", "--port", "a", "--verify-timeout-s", "5"},
       2,
       "--verify-timeout-s belongs to --verify"},
      {{"update", "--port", "a", "--verify", "--verify-timeout-s", "0"},
       2,
       "--verify-timeout-s needs a whole number from 1"},
      {{"update", "--port", "/dev/flashpost-none"},
       2,
       "port '/dev/flashpost-none' is not among the ports found (see flashpost ports; "
       "FLASHPOST_PORTS adds ports): no such device"},
      {{"update", "--port", "/dev/null"},
       2,
       "ports found (see flashpost ports; FLASHPOST_PORTS "
       "adds ports): not a serial port"},
      {{"erase", "--port", "/etc/passwd"}, 2, ": not a serial port (a regular file)"},
      // mcd
      {{"mcd", "--port", "a", "--job", "fwap"}, 2, "mcd needs --reference PORT"},
      {{"mcd", "--reference", "r", "--job", "fwap"}, 2, "mcd needs --port NAME or --ports"},
      {{"mcd", "--reference", "r", "--port", "a"}, 2, "mcd needs --job"},
      {{"mcd", "--reference", "r", "--port", "a", "--job", "fw"},
       2,
       "--job is fwap, fsa, all-image, all-image-code, xtal or all-image-xtal, not 'fw'"},
      {{"mcd", "--reference", "r", "--ports", "a,,b", "--job", "fwap"}, 2, "single commas"},
      {{"mcd", "--reference", "r", "--port", "a", "--port", "a", "--job", "fwap"},
       2,
       "port 'a' is named twice"},
      {{"mcd", "--reference", "r", "--port", "r", "--job", "fwap"},
       2,
       "is the reference receiver's"},
      {{"mcd", "--reference", "r", "--ports", many, "--job", "fwap"}, 2, "at most 8 ports"},
      {{"mcd", "--reference", "r", "--port", "a", "--job", "fwap", "--waiting-ms", "10s"},
       2,
       "--waiting-ms needs a whole number"},
      {{"mcd", "--reference", "r", "--port", "a", "--job", "xtal", "--output", "rtcm"},
       2,
       "--output is nmea or vbi"},
      {{"mcd", "--reference", "r", "--port", "a", "--job", "fwap", "--output", "vbi"},
       2,
       "--output belongs to the calibrating jobs"},
      {{"mcd", "--reference", "r", "--port", "a", "--job", "xtal", "--verify"},
       2,
       "--verify belongs to the jobs after which the module restarts"},
      {{"mcd", "--reference", "r", "--port", "a", "--job", "fwap", "--timeout-s", "0"},
       2,
       "--timeout-s needs a whole number from 1"},
      {{"mcd", "--reference", "r", "--reference", "s", "--port", "a", "--job", "fwap"},
       2,
       "--reference is given twice"},
      // cno
      {{"cno", "--port", "a"}, 2, "cno --test cno needs --reference PORT"},
      {{"cno", "--port", "a", "--key-in"}, 2, "needs --reference PORT"},
      {{"cno", "--reference", "r"}, 2, "cno needs --port NAME"},
      {{"cno", "--port", "a", "--reference", "r", "--limit", "40"},
       2,
       "--limit counts only with --key-in"},
      {{"cno", "--port", "a", "--reference", "r", "--bias", "2", "--no-bias"},
       2,
       "--bias and --no-bias contradict each other"},
      {{"cno", "--port", "a", "--reference", "r", "--id", "X"}, 2, "--id belongs to --test id"},
      {{"cno", "--port", "a", "--test", "id"}, 2, "cno --test id needs --id TEXT"},
      {{"cno", "--port", "a", "--test", "id", "--id", std::string(33, 'x')},
       2,
       "--id holds at most 32 characters"},
      {{"cno", "--port", "a", "--test", "id", "--id", "x", "--reference", "r"},
       2,
       "belong to --test cno"},
      {{"cno", "--port", "a", "--reference", "r", "--timeout-ms", "-5"},
       2,
       "--timeout-ms needs a whole number from 0"},
      {{"cno", "--port", "a", "--test", "snr"}, 2, "--test is cno or id, not 'snr'"},
      {{"cno", "--port", "a", "--reference", "r", "--key-in", "--limit", "100"},
       2,
       "--limit needs a whole number from 0 to 99"},
      // erase
      {{"erase", "--json"}, 2, "erase needs --port NAME"},
      {{"erase", "--port", "a", "--timeout-s", "0"}, 2, "--timeout-s needs a whole number"},
      {{"erase", "--port", "a", "--force"}, 2, "erase has no option '--force'"},
      // terminal
      {{"terminal"}, 2, "terminal needs --port NAME"},
      {{"terminal", "--port", "x", "--protocol", "binary"}, 2, "--protocol is nmea or vbi"},
      {{"terminal", "--port", "x", "--seconds", "-3"}, 2, "--seconds needs a whole number"},
      {{"terminal", "--port", "x", "--json"}, 2, "terminal has no option '--json'"},
      // the rest
      {{"ports", "extra"}, 2, "ports takes no arguments, not 'extra'"},
      {{"flash"}, 2, "unknown command 'flash'"},
      {{"--all-pages", "--bogus"}, 2, "has no option '--bogus'"},
      {{"--record"}, 2, "--record needs a value (FILE)"},
      // each command's help
      {{"update", "--help"}, 0, "usage: flashpost update [--port NAME]"},
      {{"mcd", "--help"}, 0, "  --job JOB "},
      {{"cno", "--port", "a", "--help"}, 0, "  --key-in "},
      {{"erase", "--help"}, 0, "  --record FILE "},
      {{"terminal", "--help"}, 0, "  --seconds N "},
  };
  for (const Row& row : rows) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = cli::Run(row.args, out, err);
    const std::string printed = Slurp(out), errors = Slurp(err);
    std::string line;
    for (const std::string& a : row.args) line += a + " ";
    EXPECT_EQ(status, row.status) << line << "\n" << errors;
    const std::string& where = row.status == 0 ? printed : errors;
    EXPECT_NE(where.find(row.says), std::string::npos) << line << "\n" << where;
    if (row.status == 2) {
      EXPECT_EQ(printed, "") << line;
      EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), row.args[0] == "flash" ? 11 : 1)
          << line << "\n"
          << errors;
    }
  }
}

}  // namespace
}  // namespace flashpost
