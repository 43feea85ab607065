// Running another program: by argument list only, never through a shell.
#pragma once

#include <string>
#include <vector>

namespace kl {

// Runs argv (argv[0] looked up in PATH unless it holds a "/") and waits for it; the raw wait
// status, or -1 when it could not be started.
int runProgram(const std::vector<std::string>& argv);

}  // namespace kl
