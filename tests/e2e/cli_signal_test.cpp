// Each command ended by a signal mid-run, as a line-control system or an operator's Ctrl-C ends
// it: the port closed the orderly way (its own settings back) and the exit status 128 + signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "platform/child_process.h"
#include "platform/pty.h"

namespace flashpost {
namespace {

TEST(CliSignalTest, ACommandClosesItsPortAndExitsWith128PlusTheSignal) {
  struct Case {
    std::vector<std::string> args;
    uint32_t baud;  // the port's speed once the run is under way
    int signal;
  } cases[] = {{{"update", "--baud", "9600"}, 9600, SIGTERM},
               {{"terminal", "--baud", "9600"}, 9600, SIGINT},
               {{"erase"}, 115200, SIGHUP},
               {{"cno", "--test", "id", "--id", "LINE7", "--baud", "9600"}, 9600, SIGTERM}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    platform::PseudoTerminal module;  // silent: every run waits for it
    platform::SystemClock clock;
    auto earlier = platform::MakeHostSerialSystem()->Open(module.SlavePath(), clock, 100);
    ASSERT_TRUE(earlier && earlier->Configure(2400));
    earlier.reset();  // the port rests at 2400, as an earlier program left it

    std::vector<std::string> argv = {FLASHPOST_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.insert(argv.end(), {"--port", module.SlavePath()});
    std::string error;
    auto child =
        platform::StartChildProcess(argv, {"FLASHPOST_PORTS=" + module.SlavePath()}, error);
    ASSERT_NE(child, nullptr) << error;
    for (int i = 0; i < 1000 && module.ProgramSideSettings().baud != c.baud; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(module.ProgramSideSettings().baud, c.baud) << child->Output();

    child->Signal(c.signal);
    EXPECT_EQ(child->Wait(std::chrono::seconds(30)), 128 + c.signal) << child->Output();
    EXPECT_FALSE(child->EndedBySignal()) << "killed with its port open";
    EXPECT_EQ(module.ProgramSideSettings().baud, 2400u) << "the port was not closed";
  }
}

}  // namespace
}  // namespace flashpost
