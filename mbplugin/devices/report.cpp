#include "devices/report.hpp"

#include <atomic>
#include <cstdio>

namespace Devices {

namespace {

void printReport(const char* title, const char* message) {
    std::fprintf(stderr, "[devices] %s %s\n", title ? title : "", message ? message : "");
}

std::atomic<ReportHook> g_hook{printReport};

}  // namespace

ReportHook setReportHook(ReportHook hook) {
    return g_hook.exchange(hook ? hook : printReport);
}

void report(const char* title, const char* message) {
    g_hook.load()(title, message);
}

}  // namespace Devices
