#pragma once
// A liblo server on 127.0.0.1 for the streaming tests.

#include <lo/lo.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Received {
    std::string path;
    std::string types;
    std::vector<std::string> strings;
    std::vector<double> numbers;
};

// A liblo server on its own thread that keeps every message it gets.
class Receiver {
  public:
    Receiver() : m_server(lo_server_thread_new_with_proto(nullptr, LO_UDP, nullptr)) {
        lo_server_thread_add_method(m_server, nullptr, nullptr, &Receiver::handle, this);
        lo_server_thread_start(m_server);
    }
    ~Receiver() { lo_server_thread_free(m_server); }
    std::string port() const { return std::to_string(lo_server_thread_get_port(m_server)); }

    // Waits (generously) until n messages are in.
    std::vector<Received> take(size_t n) {
        std::unique_lock lock(m_mutex);
        m_arrived.wait_for(lock, 30s, [&] { return m_messages.size() >= n; });
        return m_messages;
    }

  private:
    static int handle(const char* path, const char* types, lo_arg** argv, int argc, lo_message,
                      void* self) {
        Received r{path, types, {}, {}};
        // liblo hands out arguments at 4-byte offsets inside the message, not aligned for
        // the lo_arg union: read them as bytes.
        for (int i = 0; i < argc; ++i) {
            const char* at = reinterpret_cast<const char*>(argv[i]);
            if (types[i] == 's') {
                r.strings.emplace_back(at);
            } else if (types[i] == 'f') {
                float f;
                std::memcpy(&f, at, sizeof f);
                r.numbers.push_back(f);
            } else if (types[i] == 'i') {
                std::int32_t v;
                std::memcpy(&v, at, sizeof v);
                r.numbers.push_back(v);
            }
        }
        auto* receiver = static_cast<Receiver*>(self);
        std::lock_guard lock(receiver->m_mutex);
        receiver->m_messages.push_back(std::move(r));
        receiver->m_arrived.notify_all();
        return 0;
    }

    lo_server_thread m_server;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<Received> m_messages;
};

}  // namespace
