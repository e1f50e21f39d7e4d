#pragma once

#include "ui/control.h"

namespace flashpost::app {

// Status colours, 0x00BBGGRR.
inline constexpr ui::Color kNavy = 0x800000;   // initial; a step is running
inline constexpr ui::Color kGreen = 0x008000;  // success
inline constexpr ui::Color kRed = 0x0000FF;    // failure, refused start, time-out
inline constexpr ui::Color kBlue = 0xFF0000;   // informational states of the test sequencer

}  // namespace flashpost::app
