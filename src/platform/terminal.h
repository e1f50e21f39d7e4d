#pragma once

#include <cstdio>

namespace flashpost::platform {

// True when the stream is an interactive terminal (so progress can be redrawn in place).
bool IsTerminal(std::FILE* stream);

}  // namespace flashpost::platform
