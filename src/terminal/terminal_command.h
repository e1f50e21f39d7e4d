#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::terminal {

// `flashpost terminal --port NAME [--baud TEXT] [--protocol nmea|vbi] [--switch] [--seconds N]`:
// works the terminal page as an operator would (port, baud and protocol chosen, Open pressed,
// Switch Protocol pressed when asked) and prints every line the page adds to its terminal memo
// until N seconds of clock time have passed; without --seconds it runs until the process is
// interrupted. Returns 0 after a run, 1 when the port does not open (with the port layer's
// message on err), 2 on bad usage.
int RunTerminal(const std::vector<std::string>& args, platform::Clock& clock,
                platform::SerialSystem& serial, std::FILE* out, std::FILE* err);

}  // namespace flashpost::terminal
