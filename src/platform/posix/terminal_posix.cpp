#include <unistd.h>

#include "platform/terminal.h"

namespace flashpost::platform {

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

}  // namespace flashpost::platform
