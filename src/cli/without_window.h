#pragma once

namespace flashpost::cli {

// What to do where the window cannot open: the same job from the command line. Shared with the
// Qt view, which meets a display it cannot open only once Qt has tried it.
inline constexpr const char* kWithoutWindow =
    "Without the window, update a module with  flashpost update --port NAME [--baud TEXT]\n"
    "and list the serial ports with  flashpost ports\n";

}  // namespace flashpost::cli
