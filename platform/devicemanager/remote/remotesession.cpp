#include "remotesession.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>

#include "devicemanager/rzerr.h"

namespace rzremote {

using rzwire::Bytes;
using rzwire::Op;
using Clock = std::chrono::steady_clock;

namespace {

// I/O threads of the process's context: RZ_IO_THREADS, else one. One carries a client's few
// sessions; a process that holds many sessions with busy streams may want more.
int ioThreads() {
    const char* env = std::getenv("RZ_IO_THREADS");
    int n = env != nullptr ? std::atoi(env) : 0;
    return n >= 1 && n <= 16 ? n : 1;
}

}  // namespace

zmq::context_t& context() {
    // Never destroyed: sessions of a program that exits without closing its devices still
    // hold sockets, and terminating a context waits for them.
    static zmq::context_t* ctx = new zmq::context_t(ioThreads());
    return *ctx;
}

namespace {

uint64_t newSessionId() {
    static std::mutex mutex;
    static std::mt19937_64 engine{std::random_device{}()};
    std::lock_guard<std::mutex> lock(mutex);
    uint64_t id = 0;
    while (id == 0) {
        id = engine();
    }
    return id;
}

}  // namespace

Session::Session(const std::string& host, int port, DataHandler onData, int timeoutMs)
    : host_(host),
      port_(port),
      onData_(std::move(onData)),
      timeoutMs_(timeoutMs),
      id_(newSessionId()),
      dealer_(context(), zmq::socket_type::dealer),
      sub_(context(), zmq::socket_type::sub) {
    dealer_.set(zmq::sockopt::linger, 1000);
    sub_.set(zmq::sockopt::linger, 0);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

std::unique_ptr<Session> Session::connect(const std::string& host, int port, DataHandler onData,
                                          int timeoutMs, int& outResult) {
    std::unique_ptr<Session> s(new Session(host, port, std::move(onData), timeoutMs));
    outResult = s->start();
    if (outResult != RZERR_NO_ERROR) {
        s.reset();
    }
    return s;
}

int Session::start() {
    if (wakeFd_ < 0) {
        return RZERR_SOCKET_OPEN;
    }
    try {
        dealer_.connect(rzwire::endpoint(host_, port_));
    } catch (const zmq::error_t&) {
        return RZERR_INVALID_URL;
    }
    rzwire::Reply reply;
    int r = request(Op::Hello, {}, reply);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    rzwire::Reader in(reply.body);
    uint32_t leaseMs = 0;
    uint16_t dataPort = 0;
    if (!in.u32(leaseMs) || !in.u16(dataPort) || !in.done() || dataPort == 0) {
        return RZERR_INVALID_MESSAGE;
    }
    // Several beats per lease, so one lost to a busy moment never expires the session.
    heartbeatMs_ = static_cast<int>(std::clamp<uint32_t>(leaseMs / 4, 20, 1000));
    try {
        sub_.connect(rzwire::endpoint(host_, dataPort));
    } catch (const zmq::error_t&) {
        return RZERR_SOCKET_OPEN;
    }
    thread_ = std::thread([this] { receiveLoop(); });
    return RZERR_NO_ERROR;
}

Session::~Session() {
    if (thread_.joinable()) {
        // Not waited for: the server may be gone. The socket's linger lets it leave.
        send(Op::Bye);
        stop_.store(true);
        wake();
        thread_.join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

int Session::request(Op op, Bytes body, rzwire::Reply& outReply) {
    std::lock_guard<std::mutex> lock(requestMutex_);
    uint32_t id = ++nextId_;
    if (id == 0) {
        id = ++nextId_;  // 0 marks replies to frames the server could not read
    }
    rzwire::Request req;
    req.op = op;
    req.session = id_;
    req.id = id;
    req.body = std::move(body);
    Bytes frame = rzwire::encodeRequest(req);
    try {
        if (!dealer_.send(zmq::buffer(frame), zmq::send_flags::dontwait)) {
            return RZERR_SOCKET_WRITE;
        }
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
        while (true) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return RZERR_SOCKET_READ_TIMEOUT;
            }
            zmq::pollitem_t item{dealer_.handle(), 0, ZMQ_POLLIN, 0};
            if (zmq::poll(&item, 1, left) == 0) {
                continue;
            }
            zmq::message_t msg;
            if (!dealer_.recv(msg, zmq::recv_flags::dontwait)) {
                continue;
            }
            // Replies to requests that timed out earlier arrive late: skip them.
            if (rzwire::decodeReply(msg.data<uint8_t>(), msg.size(), outReply) == 0 &&
                outReply.id == id) {
                return outReply.result;
            }
        }
    } catch (const zmq::error_t&) {
        return RZERR_SOCKET_READ;
    }
}

int Session::open(const std::string& type, const std::string& device, uint32_t& outHandle,
                  uint32_t& outInstance) {
    rzwire::Reply reply;
    int r = request(Op::Open, rzwire::Writer().text(type).text(device).take(), reply);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    rzwire::Reader in(reply.body);
    if (!in.u32(outHandle) || !in.u32(outInstance) || !in.done()) {
        return RZERR_INVALID_MESSAGE;
    }
    return RZERR_NO_ERROR;
}

int Session::close(uint32_t handle) {
    rzwire::Reply reply;
    return request(Op::Close, rzwire::Writer().u32(handle).take(), reply);
}

int Session::control(uint32_t handle, int message, int argcode, const uint8_t* payload, int length,
                     int capacity, Bytes& outReply) {
    outReply.clear();
    rzwire::Reply reply;
    Bytes body = rzwire::Writer()
                     .u32(handle)
                     .u8(static_cast<uint8_t>(message))
                     .u8(static_cast<uint8_t>(argcode))
                     .u32(static_cast<uint32_t>(capacity))
                     .blob(payload, static_cast<size_t>(length))
                     .take();
    int r = request(Op::Control, std::move(body), reply);
    rzwire::Reader in(reply.body);
    if (!reply.body.empty() && (!in.blob(outReply, static_cast<size_t>(capacity)) || !in.done())) {
        outReply.clear();
        return RZERR_INVALID_MESSAGE;
    }
    return r;
}

int Session::attach(uint32_t handle, uint32_t& outTopic) {
    rzwire::Reply reply;
    int r = request(Op::Attach, rzwire::Writer().u32(handle).take(), reply);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    rzwire::Reader in(reply.body);
    if (!in.u32(outTopic) || !in.done()) {
        return RZERR_INVALID_MESSAGE;
    }
    changeSubscription(outTopic, true);
    return RZERR_NO_ERROR;
}

int Session::detach(uint32_t handle, uint32_t topic) {
    changeSubscription(topic, false);
    rzwire::Reply reply;
    return request(Op::Detach, rzwire::Writer().u32(handle).take(), reply);
}

int Session::status(ServerStatus& out) {
    rzwire::Reply reply;
    int r = request(Op::Status, {}, reply);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    rzwire::Reader in(reply.body);
    if (!in.u32(out.sessions) || !in.u32(out.handles) || !in.u32(out.streams) || !in.done()) {
        return RZERR_INVALID_MESSAGE;
    }
    return RZERR_NO_ERROR;
}

int Session::plugins(std::vector<PluginInfo>& out) {
    out.clear();
    rzwire::Reply reply;
    int r = request(Op::Plugins, {}, reply);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    rzwire::Reader in(reply.body);
    uint16_t count = 0;
    in.u16(count);
    for (int i = 0; i < count; ++i) {
        PluginInfo p;
        uint8_t kind = 0;
        uint16_t a = 0, b = 0;
        if (!in.u8(kind) || !in.u16(a) || !in.u16(b) || !in.text(p.module) || !in.text(p.name)) {
            break;
        }
        p.kind = kind;
        p.versionA = a;
        p.versionB = b;
        out.push_back(std::move(p));
    }
    if (!in.done()) {
        out.clear();
        return RZERR_INVALID_MESSAGE;
    }
    return RZERR_NO_ERROR;
}

void Session::wake() {
    uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof(one)) < 0) {
        // The counter is saturated: the thread has a wake-up pending anyway.
    }
}

void Session::applySubscription(uint32_t topic, bool subscribe) {
    Bytes t = rzwire::encodeTopic(topic);
    std::string prefix(t.begin(), t.end());
    int& n = subscribed_[topic];
    if (subscribe && n++ == 0) {
        sub_.set(zmq::sockopt::subscribe, prefix);
    } else if (!subscribe && n > 0 && --n == 0) {
        sub_.set(zmq::sockopt::unsubscribe, prefix);
    }
    if (n == 0) {
        subscribed_.erase(topic);
    }
}

void Session::changeSubscription(uint32_t topic, bool subscribe) {
    if (onReceiveThread()) {
        applySubscription(topic, subscribe);  // a reader callback attaching or detaching
        return;
    }
    std::unique_lock<std::mutex> lock(changeMutex_);
    changes_.emplace_back(topic, subscribe);
    uint64_t ticket = ++queued_;
    wake();
    // Bounded: a receive thread that is stuck in a reader callback must not hang the caller.
    changeApplied_.wait_for(lock, std::chrono::milliseconds(timeoutMs_),
                            [&] { return applied_ >= ticket || stop_.load(); });
}

void Session::heartbeat() {
    std::unique_lock<std::mutex> lock(requestMutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        return;  // a request is on its way: it renews the lease itself
    }
    send_locked(Op::Heartbeat);
}

void Session::send(Op op) {
    std::lock_guard<std::mutex> lock(requestMutex_);
    send_locked(op);
}

void Session::send_locked(Op op) {
    rzwire::Request req;
    req.op = op;
    req.session = id_;
    Bytes frame = rzwire::encodeRequest(req);
    try {
        dealer_.send(zmq::buffer(frame), zmq::send_flags::dontwait);
    } catch (const zmq::error_t&) {
        // A lost heartbeat is followed by the next; a lost goodbye by the lease.
    }
}

void Session::receiveLoop() {
    auto nextBeat = Clock::now();
    // Reused for every message: the receive path allocates only when a record outgrows them.
    zmq::message_t topicPart, recordPart;
    rzwire::DataRecord record;
    while (!stop_.load()) {
        auto now = Clock::now();
        if (now >= nextBeat) {
            heartbeat();
            nextBeat = now + std::chrono::milliseconds(heartbeatMs_);
        }
        zmq::pollitem_t items[2] = {{sub_.handle(), 0, ZMQ_POLLIN, 0},
                                    {nullptr, wakeFd_, ZMQ_POLLIN, 0}};
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextBeat - now);
        try {
            zmq::poll(items, 2, std::max(wait, std::chrono::milliseconds(1)));
        } catch (const zmq::error_t&) {
            continue;  // interrupted by a signal
        }
        if (items[1].revents & ZMQ_POLLIN) {
            uint64_t count = 0;
            if (::read(wakeFd_, &count, sizeof(count)) < 0) {
                count = 0;
            }
            std::vector<std::pair<uint32_t, bool>> changes;
            uint64_t ticket = 0;
            {
                std::lock_guard<std::mutex> lock(changeMutex_);
                changes.swap(changes_);
                ticket = queued_;
            }
            for (auto [topic, on] : changes) {
                applySubscription(topic, on);
            }
            {
                std::lock_guard<std::mutex> lock(changeMutex_);
                applied_ = ticket;
            }
            changeApplied_.notify_all();
        }
        // Drain what has arrived; a burst is delivered before the next poll.
        for (int n = 0; n < 256 && !stop_.load(); ++n) {
            if (!sub_.recv(topicPart, zmq::recv_flags::dontwait)) {
                break;
            }
            bool whole = false;  // exactly two frames
            if (topicPart.more() && sub_.recv(recordPart, zmq::recv_flags::none)) {
                whole = !recordPart.more();
                while (recordPart.more() && sub_.recv(recordPart, zmq::recv_flags::none)) {
                    // Frames beyond the second: not a record of ours, drained.
                }
            }
            uint32_t topic = 0;
            if (whole &&
                rzwire::decodeTopic(topicPart.data<uint8_t>(), topicPart.size(), topic) == 0 &&
                rzwire::decodeData(recordPart.data<uint8_t>(), recordPart.size(), record) == 0 &&
                subscribed_.count(topic) != 0 && onData_) {
                onData_(topic, record);
            }
        }
    }
    std::lock_guard<std::mutex> lock(changeMutex_);
    changeApplied_.notify_all();
}

}  // namespace rzremote
