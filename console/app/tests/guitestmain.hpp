// main() of palmdesk's widget test programs.
#pragma once

#include <QApplication>
#include <QTest>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

// The system's OpenGL driver is loaded with dlopen and carries thread-local state.
// AddressSanitizer's tracking of such dynamic TLS blocks misreads this glibc's layout, and
// LeakSanitizer's scan then faults on the bogus range; the interception only feeds that tracking.
extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}
#endif

template <class Test>
int runGuiTest(int argc, char** argv) {
    QApplication app(argc, argv);
    Test test;
    const int result = QTest::qExec(&test, argc, argv);
#if defined(__SANITIZE_ADDRESS__)
    // Leaks are checked here, while the display connection is open: closing it unloads the
    // system's OpenGL driver, whose own allocations would then be reported against an
    // unknown module that no suppression can name. The check at exit is skipped after this.
    __lsan_do_leak_check();
#endif
    return result;
}
