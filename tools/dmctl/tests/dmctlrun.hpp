#pragma once
// dmctl run as a program: its exit status and everything it printed (stdout and stderr).
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace dmctltest {

struct Outcome {
    int status = -1;
    std::string out;
};

inline Outcome dmctl(const std::string& args) {
    Outcome run;
    std::string command = std::string(DMCTL_PATH) + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return run;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        run.out.append(buf, n);
    }
    int status = pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace dmctltest
