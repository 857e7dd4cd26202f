// run_program.h: runs a program as a child process for black-box tests and
// collects what it printed and how it ended.
#pragma once

#include <string>
#include <vector>

namespace q2test {

struct ProgramRun {
    int exitStatus = -1; // -1 when the program was still running and was stopped
    std::string out;
    std::string err;
};

// Runs `binary` with `args`, this process's environment plus `extraEnvironment`
// ("NAME=value" entries). Stops it with SIGTERM after limitMs (a server never
// ends by itself) and returns both output streams.
ProgramRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::vector<std::string>& extraEnvironment = {}, int limitMs = 10000);

} // namespace q2test
