// Threads with awaitable ends. A handle stays valid until RZ_AwaitThread saw the thread end
// (or RZ_KillThread); handles are registered so a stale one is refused.
#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_set>

#include "devicemanager/rzcore.h"

struct RzThread {
    pthread_t tid{};
    RzThreadFunction fn = nullptr;
    void* argument = nullptr;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

namespace {

std::mutex gMutex;
std::unordered_set<const RzThread*>& threads() {
    static auto* s = new std::unordered_set<const RzThread*>;
    return *s;
}

bool known(const RzThread* t) {
    std::lock_guard<std::mutex> lock(gMutex);
    return t != nullptr && threads().count(t) != 0;
}

void forget(RzThread* t) {
    std::lock_guard<std::mutex> lock(gMutex);
    threads().erase(t);
}

// Marks the end however the thread ends: by returning, by RZ_ExitThread or by cancellation
// (both unwind the stack and so run this destructor).
struct EndMark {
    RzThread* t;
    ~EndMark() {
        {
            std::lock_guard<std::mutex> lock(t->mutex);
            t->done = true;
        }
        t->ended.notify_all();
    }
};

void* trampoline(void* raw) {
    auto* t = static_cast<RzThread*>(raw);
    EndMark mark{t};
    int code = t->fn(t->argument);
    return reinterpret_cast<void*>(static_cast<intptr_t>(code));
}

}  // namespace

extern "C" {

RzThread* RZ_CreateThread(RzThreadFunction fn, void* argument) {
    if (fn == nullptr) {
        return nullptr;
    }
    auto* t = new (std::nothrow) RzThread;
    if (t == nullptr) {
        return nullptr;
    }
    t->fn = fn;
    t->argument = argument;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        threads().insert(t);
    }
    if (pthread_create(&t->tid, nullptr, trampoline, t) != 0) {
        forget(t);
        delete t;
        return nullptr;
    }
    return t;
}

int RZ_AwaitThread(RzThread* t, int timeoutMs) {
    if (!known(t) || pthread_equal(t->tid, pthread_self())) {
        return RZERR_INVALID_PARAM;
    }
    {
        std::unique_lock<std::mutex> lock(t->mutex);
        if (!t->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                               [t] { return t->done; })) {
            return RZERR_THREAD_TIMEOUT;
        }
    }
    forget(t);
    pthread_join(t->tid, nullptr);
    delete t;
    return RZERR_NO_ERROR;
}

int RZ_KillThread(RzThread* t) {
    if (!known(t) || pthread_equal(t->tid, pthread_self())) {
        return RZERR_INVALID_PARAM;
    }
    forget(t);
    pthread_cancel(t->tid);
    pthread_join(t->tid, nullptr);
    delete t;
    return RZERR_NO_ERROR;
}

void RZ_ExitThread(int code) {
    pthread_exit(reinterpret_cast<void*>(static_cast<intptr_t>(code)));
}

int RZ_SetThreadPriorityHighest(RzThread* t) {
    if (!known(t)) {
        return RZERR_INVALID_PARAM;
    }
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    if (pthread_setschedparam(t->tid, SCHED_FIFO, &param) == 0) {
        return RZERR_NO_ERROR;
    }
    return RZERR_GENERIC_ERROR;
}

int RZ_IsCurrentThread(RzThread* t) {
    return known(t) && pthread_equal(t->tid, pthread_self()) ? 1 : 0;
}

}  // extern "C"
