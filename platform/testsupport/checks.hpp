// How test helpers report a failure and how long they wait: one rule for every test program.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

// Sanitizer builds run the programs under test several times slower; every deadline a helper
// sets goes through scaled() so one factor covers them all.
int slowdown();
std::chrono::milliseconds scaled(std::chrono::milliseconds base);

// Marks the running test failed with `message`. GoogleTest's failure by default; a Qt Test
// program installs its own handler (QTest::qFail) before its first test.
using FailureHandler = std::function<void(const std::string& message)>;
void setFailureHandler(FailureHandler handler);
void fail(const std::string& message);

// Polls `condition` every 10 ms until it holds or `limit` (scaled) passes; true when it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

}  // namespace testsupport
