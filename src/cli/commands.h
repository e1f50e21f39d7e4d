#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace flashpost::cli {

// Runs one command line (without the program name); returns the exit status. No arguments, or
// only --all-pages, open the desktop window and return when it is closed.
int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace flashpost::cli
