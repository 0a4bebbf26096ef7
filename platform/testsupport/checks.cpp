#include "testsupport/checks.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TESTSUPPORT_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TESTSUPPORT_SANITIZED 1
#endif

namespace testsupport {

namespace {

std::mutex& handlerMutex() {
    static std::mutex m;
    return m;
}

FailureHandler& handler() {
    static FailureHandler h;
    return h;
}

}  // namespace

int slowdown() {
#ifdef TESTSUPPORT_SANITIZED
    return 4;
#else
    return 1;
#endif
}

std::chrono::milliseconds scaled(std::chrono::milliseconds base) {
    return base * slowdown();
}

void setFailureHandler(FailureHandler h) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    handler() = std::move(h);
}

void fail(const std::string& message) {
    FailureHandler h;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        h = handler();
    }
    if (h) {
        h(message);
    } else {
        ADD_FAILURE() << message;
    }
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + scaled(limit);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testsupport
