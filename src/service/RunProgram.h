#pragma once
// Runs an external program with an argument vector (never through a shell) and waits a bounded
// time for it.
#include <string>
#include <vector>

namespace velm {

struct RunOptions {
    // Look argv[0] up on PATH when it holds no "/"; otherwise an absolute path is required.
    bool searchPath = true;
    // Run with a fixed minimal environment (PATH=/usr/bin:/bin, LC_ALL=C) instead of ours.
    bool minimalEnvironment = false;
    // Connect the child's standard input, output and error to /dev/null.
    bool silent = false;
};

// The child gets no descriptor of ours beyond the standard three, default signal dispositions
// and an empty signal mask. It is killed when timeoutMs passes. Returns its exit status, or -1
// when it could not be started, did not exit normally or ran out of time.
int RunProgram(const std::vector<std::string>& argv, int timeoutMs, const RunOptions& options = {});

}  // namespace velm
