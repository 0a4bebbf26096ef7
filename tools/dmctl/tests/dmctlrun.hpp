#pragma once
// dmctl run as a program: its exit status and everything it printed (stdout and stderr).
#include <chrono>
#include <string>

#include "testsupport/simulator.hpp"

namespace dmctltest {

struct Outcome {
    int status = -1;
    std::string out;
};

// `args` as a shell would split them (the cases quote some names).
inline Outcome dmctl(const std::string& args) {
    testsupport::ChildOptions options;
    options.mergeStderr = true;
    testsupport::ChildProcess run({"/bin/sh", "-c", std::string(DMCTL_PATH) + " " + args}, options);
    Outcome outcome;
    outcome.status = run.finish(std::chrono::seconds(120));
    outcome.out = run.output();
    return outcome;
}

}  // namespace dmctltest
