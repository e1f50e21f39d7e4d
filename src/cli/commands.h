#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace flashpost::cli {

// Runs one command line (without the program name); returns the exit status.
int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace flashpost::cli
