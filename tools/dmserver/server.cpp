#include "server.hpp"

#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "handforward.hpp"
#include "log.hpp"

namespace dmserver {

using rzwire::Bytes;
using rzwire::Op;

// One attached instance: a stream of ours in the instance's client-stream list, shared by
// every remote client attached to it, and published under the instance id.
struct DeviceServer::Topic {
    DeviceServer* server = nullptr;
    uint32_t instance = 0;
    Bytes topicFrame;
    RzDataStream* stream = nullptr;
    RzDeviceHandle via = 0;  // an open handle of the instance, used to detach
    int refs = 0;            // attaches of remote clients
    uint32_t sequence = 0;   // guarded by publishMutex_
    // Written by the plug-in's thread, read by the main loop's silence watch.
    std::atomic<uint64_t> lastDataNs{0};  // 0: nothing streamed yet
    uint64_t silentSinceNs = 0;           // main loop, under lifeMutex_; 0 while streaming
};

namespace {

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Reader of our streams: runs on the plug-in's thread inside its write, so the stamp is the
// moment the device produced the record, and the ring is always emptied at once.
int topicReader(RzDataStream* stream, int reason) {
    auto* topic = static_cast<DeviceServer::Topic*>(RZ_DataStreamUser(stream));
    if (topic == nullptr) {
        return 0;
    }
    if (reason == RZ_STREAM_DATA) {
        uint8_t buffer[65536];
        int n = RZ_DataStreamRead(stream, buffer, sizeof(buffer));
        if (n > 0) {
            topic->lastDataNs.store(monotonicNs(), std::memory_order_relaxed);
            topic->server->publish(*topic, rzwire::DataKind::Data, 0, buffer,
                                   static_cast<size_t>(n));
        }
    } else if (reason == RZ_STREAM_FULL) {
        RZ_DataStreamPurge(stream);
    } else {
        topic->server->publish(*topic, rzwire::DataKind::Announce, reason, nullptr, 0);
    }
    return 0;
}

}  // namespace

DeviceServer::DeviceServer(ServerOptions options)
    : options_(std::move(options)),
      context_(std::max(1, options_.ioThreads)),
      router_(context_, zmq::socket_type::router),
      pub_(context_, zmq::socket_type::pub) {
    router_.set(zmq::sockopt::linger, 0);
    pub_.set(zmq::sockopt::linger, 0);
    pub_.set(zmq::sockopt::sndhwm, options_.publishHwm);
    // A frame beyond any valid request is refused by the transport before it is buffered.
    router_.set(zmq::sockopt::maxmsgsize,
                static_cast<int64_t>(rzwire::kRequestHeaderSize + rzwire::kMaxBody));
    outboxFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

DeviceServer::~DeviceServer() {
    if (outboxFd_ >= 0) {
        ::close(outboxFd_);
    }
}

bool DeviceServer::bind(std::string& outError) {
    if (outboxFd_ < 0) {
        outError = "no event descriptor";
        return false;
    }
    auto bindOne = [&](zmq::socket_t& socket, int port, int& outPort) {
        std::string ep =
            port == 0 ? rzwire::endpoint(options_.host, 0) : rzwire::endpoint(options_.host, port);
        if (port == 0) {
            ep = ep.substr(0, ep.rfind(':')) + ":*";
        }
        try {
            socket.bind(ep);
            std::string last = socket.get(zmq::sockopt::last_endpoint);
            outPort = std::atoi(last.substr(last.rfind(':') + 1).c_str());
            return true;
        } catch (const zmq::error_t& e) {
            outError = ep + ": " + e.what();
            return false;
        }
    };
    if (options_.host.find(':') != std::string::npos) {
        router_.set(zmq::sockopt::ipv6, 1);
        pub_.set(zmq::sockopt::ipv6, 1);
    }
    return bindOne(router_, options_.port, controlPort_) &&
           bindOne(pub_, options_.dataPort, dataPort_);
}

void DeviceServer::publish(Topic& topic, rzwire::DataKind kind, int reason, const uint8_t* data,
                           size_t size) {
    rzwire::DataRecord header;
    header.kind = kind;
    header.stampNs = monotonicNs();
    header.reason = reason;
    // The frame is built in place in one message, which the PUB socket then shares among
    // its subscribers: one allocation and one copy of the payload per record.
    zmq::message_t frame(rzwire::kDataHeaderSize + size);
    auto* bytes = static_cast<uint8_t*>(frame.data());
    if (size > 0) {
        std::memcpy(bytes + rzwire::kDataHeaderSize, data, size);
    }
    // Announcements come from other threads than the feeding one: number under the lock.
    std::lock_guard<std::mutex> lock(publishMutex_);
    header.sequence = topic.sequence++;
    rzwire::encodeDataHeader(header, size, bytes);
    try {
        // PUB never blocks: a subscriber past its high-water mark loses the record.
        pub_.send(zmq::buffer(topic.topicFrame), zmq::send_flags::sndmore);
        pub_.send(frame, zmq::send_flags::dontwait);
    } catch (const zmq::error_t& e) {
        log(LogLevel::Warn, "publish on %u: %s", topic.instance, e.what());
    }
}

void DeviceServer::run(int stopFd) {
    for (int i = 0; i < std::max(1, options_.workers); ++i) {
        workers_.emplace_back([this] { workerLoop(); });
    }
    const auto sweepEvery = std::chrono::milliseconds(std::clamp(options_.leaseMs / 4, 10, 1000));
    auto nextSweep = Clock::now() + sweepEvery;
    while (true) {
        zmq::pollitem_t items[3] = {{router_.handle(), 0, ZMQ_POLLIN, 0},
                                    {nullptr, stopFd, ZMQ_POLLIN, 0},
                                    {nullptr, outboxFd_, ZMQ_POLLIN, 0}};
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextSweep - Clock::now());
        try {
            zmq::poll(items, 3, std::max(wait, std::chrono::milliseconds(0)));
        } catch (const zmq::error_t&) {
            continue;  // a signal: the self-pipe says whether to stop
        }
        if (items[1].revents & ZMQ_POLLIN) {
            break;
        }
        if (items[2].revents & ZMQ_POLLIN) {
            sendReplies();
        }
        if (items[0].revents & ZMQ_POLLIN) {
            receive();
        }
        if (Clock::now() >= nextSweep) {
            sweep();
            watchSilence();
            nextSweep = Clock::now() + sweepEvery;
        }
    }
    log(LogLevel::Info, "stopping");
    {
        std::lock_guard<std::mutex> lock(jobMutex_);
        stopping_ = true;
        jobs_.clear();
    }
    jobReady_.notify_all();
    for (auto& w : workers_) {
        w.join();
    }
    workers_.clear();
    std::vector<uint64_t> sessions;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        for (auto& [id, s] : sessions_) {
            sessions.push_back(id);
        }
    }
    int released = 0;
    for (uint64_t id : sessions) {
        released += releaseSession(id);
    }
    log(LogLevel::Info, "released %d device(s) of %zu client(s)", released, sessions.size());
}

void DeviceServer::reply(const std::string& peer, const rzwire::Reply& r) {
    Bytes frame = rzwire::encodeReply(r);
    try {
        // A vanished or saturated peer loses its reply; the ROUTER never waits for it.
        router_.send(zmq::buffer(peer), zmq::send_flags::sndmore | zmq::send_flags::dontwait);
        router_.send(zmq::buffer(frame), zmq::send_flags::dontwait);
    } catch (const zmq::error_t& e) {
        log(LogLevel::Debug, "reply dropped: %s", e.what());
    }
}

void DeviceServer::sendReplies() {
    uint64_t count = 0;
    if (::read(outboxFd_, &count, sizeof(count)) < 0) {
        count = 0;
    }
    std::deque<std::pair<std::string, Bytes>> ready;
    {
        std::lock_guard<std::mutex> lock(outboxMutex_);
        ready.swap(outbox_);
    }
    for (auto& [peer, frame] : ready) {
        try {
            router_.send(zmq::buffer(peer), zmq::send_flags::sndmore | zmq::send_flags::dontwait);
            router_.send(zmq::buffer(frame), zmq::send_flags::dontwait);
        } catch (const zmq::error_t& e) {
            log(LogLevel::Debug, "reply dropped: %s", e.what());
        }
    }
}

void DeviceServer::receive() {
    // A bounded batch, so replies and the sweep keep their turn under a flood.
    for (int n = 0; n < 256; ++n) {
        std::vector<zmq::message_t> parts;
        zmq::message_t part;
        if (!router_.recv(part, zmq::recv_flags::dontwait)) {
            return;
        }
        parts.push_back(std::move(part));
        while (parts.back().more() && parts.size() < 16) {
            zmq::message_t next;
            if (!router_.recv(next, zmq::recv_flags::none)) {
                break;
            }
            parts.push_back(std::move(next));
        }
        while (parts.back().more()) {  // drain an overlong message
            zmq::message_t rest;
            if (!router_.recv(rest, zmq::recv_flags::none)) {
                break;
            }
        }
        std::string peer(parts[0].data<char>(), parts[0].size());
        rzwire::Reply error;
        if (parts.size() != 2) {
            error.result = RZERR_INVALID_MESSAGE;
            log(LogLevel::Debug, "request of %zu frames refused", parts.size() - 1);
            reply(peer, error);
            continue;
        }
        Job job;
        job.peer = std::move(peer);
        int r = rzwire::decodeRequest(parts[1].data<uint8_t>(), parts[1].size(), job.request);
        const rzwire::Request& req = job.request;
        error.op = req.op;
        error.id = req.id;
        if (r == RZERR_NO_ERROR && req.session == 0) {
            r = RZERR_INVALID_PARAM;
        }
        if (r == RZERR_NO_ERROR && (req.op == Op::None || req.op > Op::Plugins)) {
            r = RZERR_MESSAGE_NOT_IMPLEMENTED;
        }
        if (r != RZERR_NO_ERROR) {
            log(LogLevel::Debug, "bad request (%s)", RZ_ErrorName(r));
            error.result = r;
            reply(job.peer, error);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            sessions_[req.session].lastSeen = Clock::now();
        }
        rzwire::Reply answer;
        answer.op = req.op;
        answer.id = req.id;
        rzwire::Writer out;
        switch (req.op) {
            case Op::Heartbeat:
                if (!req.body.empty()) {
                    answer.result = RZERR_MESSAGE_INVALID_BODY;
                    reply(job.peer, answer);
                }
                continue;
            case Op::Hello:
                out.u32(static_cast<uint32_t>(options_.leaseMs))
                    .u16(static_cast<uint16_t>(dataPort_));
                break;
            case Op::Status: {
                std::lock_guard<std::mutex> lock(stateMutex_);
                out.u32(static_cast<uint32_t>(sessions_.size()))
                    .u32(static_cast<uint32_t>(handles_.size()))
                    .u32(topicCount_.load());
                break;
            }
            case Op::Plugins: {
                int count = RZ_PluginCount();
                out.u16(static_cast<uint16_t>(count));
                for (int i = 0; i < count; ++i) {
                    RzPluginInfo info{};
                    RZ_GetPluginInfo(i, &info);
                    out.u8(static_cast<uint8_t>(info.kind))
                        .u16(static_cast<uint16_t>(info.versionA))
                        .u16(static_cast<uint16_t>(info.versionB))
                        .text(info.module)
                        .text(info.name);
                }
                break;
            }
            default:
                enqueue(std::move(job), answer);
                continue;
        }
        if (!req.body.empty()) {
            answer.result = RZERR_MESSAGE_INVALID_BODY;
        } else {
            answer.body = out.take();
        }
        reply(job.peer, answer);
    }
}

void DeviceServer::enqueue(Job job, rzwire::Reply& errorReply) {
    uint64_t session = job.request.session;
    {
        std::lock_guard<std::mutex> lock(jobMutex_);
        if (static_cast<int>(jobs_.size()) < options_.queueLimit) {
            jobs_.push_back(std::move(job));
            std::lock_guard<std::mutex> state(stateMutex_);
            ++sessions_[session].pending;
            jobReady_.notify_one();
            return;
        }
    }
    log(LogLevel::Warn, "request queue full, request refused");
    errorReply.result = RZERR_THREAD_TOO_MANY;
    reply(job.peer, errorReply);
}

void DeviceServer::sweep() {
    std::vector<uint64_t> expired;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        auto limit = Clock::now() - std::chrono::milliseconds(options_.leaseMs);
        for (auto& [id, s] : sessions_) {
            if (s.pending == 0 && s.lastSeen < limit) {
                expired.push_back(id);
                s.pending = 1;  // the release job below; it removes the session
                s.lastSeen = Clock::now();
            }
        }
    }
    for (uint64_t id : expired) {
        log(LogLevel::Info, "client %016llx silent for %d ms: releasing its devices",
            static_cast<unsigned long long>(id), options_.leaseMs);
        Job job;
        job.expire = true;
        job.request.session = id;
        std::lock_guard<std::mutex> lock(jobMutex_);
        jobs_.push_back(std::move(job));  // past the limit: a release must not be refused
        jobReady_.notify_one();
    }
}

// Plug-ins keep a silent line to themselves (the glove's recovery runs inside it), so the
// server judges by the data: a topic that streamed and stopped is logged, and again when its
// data resumes.
void DeviceServer::watchSilence() {
    std::unique_lock<std::mutex> life(lifeMutex_, std::try_to_lock);
    if (!life.owns_lock()) {
        return;  // a worker is attaching or detaching: the next sweep looks
    }
    const uint64_t now = monotonicNs();
    const uint64_t limit = static_cast<uint64_t>(options_.silenceMs) * 1000000ull;
    for (auto& [instance, topic] : topics_) {
        uint64_t last = topic->lastDataNs.load(std::memory_order_relaxed);
        if (last == 0) {
            continue;
        }
        bool quiet = now > last && now - last >= limit;
        if (quiet && topic->silentSinceNs == 0) {
            topic->silentSinceNs = last;
            log(LogLevel::Info, "instance %u: silent for %llu ms", instance,
                static_cast<unsigned long long>((now - last) / 1000000ull));
        } else if (!quiet && topic->silentSinceNs != 0) {
            log(LogLevel::Info, "instance %u: streaming again after %llu ms", instance,
                static_cast<unsigned long long>((last - topic->silentSinceNs) / 1000000ull));
            topic->silentSinceNs = 0;
        }
    }
}

void DeviceServer::workerLoop() {
    while (true) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(jobMutex_);
            jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        if (job.expire) {
            releaseSession(job.request.session);
            continue;
        }
        rzwire::Reply answer = execute(job);
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            auto it = sessions_.find(job.request.session);
            if (it != sessions_.end()) {
                --it->second.pending;
                it->second.lastSeen = Clock::now();
            }
        }
        {
            std::lock_guard<std::mutex> lock(outboxMutex_);
            outbox_.emplace_back(std::move(job.peer), rzwire::encodeReply(answer));
        }
        uint64_t one = 1;
        if (::write(outboxFd_, &one, sizeof(one)) < 0) {
            // Saturated counter: the main loop is due to drain the outbox anyway.
        }
    }
}

rzwire::Reply DeviceServer::execute(const Job& job) {
    const rzwire::Request& req = job.request;
    rzwire::Reply answer;
    answer.op = req.op;
    answer.id = req.id;
    rzwire::Reader in(req.body);
    rzwire::Writer out;
    uint32_t handle = 0;
    int r = RZERR_MESSAGE_INVALID_BODY;
    switch (req.op) {
        case Op::Open:
            r = open(req.session, in, out);
            break;
        case Op::Control:
            r = control(req.session, in, out);
            break;
        case Op::Close:
            if (in.u32(handle) && in.done()) {
                r = closeHandle(req.session, handle);
            }
            break;
        case Op::Attach:
            if (in.u32(handle) && in.done()) {
                r = attach(req.session, handle, out);
            }
            break;
        case Op::Detach:
            if (in.u32(handle) && in.done()) {
                r = detach(req.session, handle);
            }
            break;
        case Op::Bye:
            if (in.done()) {
                int n = releaseSession(req.session);
                log(LogLevel::Debug, "client %016llx left, %d device(s) released",
                    static_cast<unsigned long long>(req.session), n);
                r = RZERR_NO_ERROR;
            }
            break;
        default:
            r = RZERR_MESSAGE_NOT_IMPLEMENTED;
            break;
    }
    answer.result = r;
    if (r == RZERR_NO_ERROR || req.op == Op::Control) {
        answer.body = out.take();
    }
    return answer;
}

int DeviceServer::open(uint64_t session, rzwire::Reader& in, rzwire::Writer& out) {
    std::string type, device;
    if (!in.text(type) || !in.text(device) || !in.done()) {
        return RZERR_MESSAGE_INVALID_BODY;
    }
    // Served here, in-process: the empty server text never names another server.
    RzDeviceHandle h = RZ_DeviceOpen("", device.c_str(), type.c_str());
    if (h == 0) {
        int r = RZ_GetLastError();
        log(LogLevel::Info, "open %s \"%s\" failed: %s", type.c_str(), device.c_str(),
            RZ_ErrorName(r));
        return r < 0 ? r : RZERR_INVALID_DEVICE;
    }
    Handle entry;
    entry.session = session;
    entry.device = h;
    entry.instance = RZ_DeviceInstanceId(h);
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        do {
            id = ++nextHandle_;
        } while (id == 0 || handles_.count(id) != 0);
        handles_[id] = entry;
    }
    if (options_.forward != nullptr) {
        options_.forward->opened(h, entry.instance);
    }
    log(LogLevel::Debug, "client %016llx opened %s \"%s\": handle %u, instance %u",
        static_cast<unsigned long long>(session), type.c_str(), device.c_str(), id, entry.instance);
    out.u32(id).u32(entry.instance);
    return RZERR_NO_ERROR;
}

bool DeviceServer::ownedHandle(uint64_t session, uint32_t handle, Handle& out) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.session != session) {
        return false;  // another client's handles are as unknown as absent ones
    }
    out = it->second;
    return true;
}

int DeviceServer::control(uint64_t session, rzwire::Reader& in, rzwire::Writer& out) {
    uint32_t handle = 0, capacity = 0;
    uint8_t message = 0, argcode = 0;
    Bytes payload;
    if (!in.u32(handle) || !in.u8(message) || !in.u8(argcode) || !in.u32(capacity) ||
        !in.blob(payload, 0xFFFF) || !in.done() ||
        capacity > static_cast<uint32_t>(rzwire::kMaxCapacity) || payload.size() > capacity) {
        return RZERR_MESSAGE_INVALID_BODY;
    }
    Handle h;
    if (!ownedHandle(session, handle, h)) {
        return RZERR_INVALID_DID;
    }
    Bytes buffer(std::max<size_t>(capacity, 1));
    std::copy(payload.begin(), payload.end(), buffer.begin());
    int length = static_cast<int>(payload.size());
    int r = RZ_DeviceControl(h.device, message, argcode, capacity > 0 ? buffer.data() : nullptr,
                             &length, static_cast<int>(capacity));
    length = std::clamp(length, 0, static_cast<int>(capacity));
    out.blob(buffer.data(), static_cast<size_t>(length));
    return r;
}

int DeviceServer::attach(uint64_t session, uint32_t handle, rzwire::Writer& out) {
    Handle h;
    if (!ownedHandle(session, handle, h)) {
        return RZERR_INVALID_DID;
    }
    std::lock_guard<std::mutex> life(lifeMutex_);
    auto it = topics_.find(h.instance);
    if (it == topics_.end()) {
        auto topic = std::make_unique<Topic>();
        topic->server = this;
        topic->instance = h.instance;
        topic->topicFrame = rzwire::encodeTopic(h.instance);
        topic->via = h.device;
        topic->stream = RZ_DataStreamNew(65536, topicReader, topic.get());
        if (topic->stream == nullptr) {
            return RZERR_OUT_OF_MEMORY;
        }
        int r = RZ_DeviceAttachDataStream(h.device, topic->stream);
        if (r != RZERR_NO_ERROR) {
            RZ_DataStreamDestroy(topic->stream);
            return r;
        }
        it = topics_.emplace(h.instance, std::move(topic)).first;
        topicCount_.store(static_cast<uint32_t>(topics_.size()));
    }
    ++it->second->refs;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ++handles_[handle].attaches;
    }
    out.u32(h.instance);
    return RZERR_NO_ERROR;
}

// Drops one attach of `instance`; `closing` is a handle about to be closed, which the topic
// must stop using to detach. Caller holds lifeMutex_.
void DeviceServer::dropTopic_life(uint32_t instance, RzDeviceHandle closing) {
    auto it = topics_.find(instance);
    if (it == topics_.end()) {
        return;
    }
    Topic& topic = *it->second;
    if (--topic.refs > 0) {
        if (topic.via == closing) {
            // Any other attached handle of the instance reaches the same client-stream list.
            std::lock_guard<std::mutex> lock(stateMutex_);
            for (auto& [id, h] : handles_) {
                if (h.instance == instance && h.attaches > 0 && h.device != closing) {
                    topic.via = h.device;
                    break;
                }
            }
        }
        return;
    }
    RZ_DeviceDetachDataStream(topic.via, topic.stream);
    RZ_DataStreamDestroy(topic.stream);  // waits for a delivery in flight
    topics_.erase(it);
    topicCount_.store(static_cast<uint32_t>(topics_.size()));
}

int DeviceServer::detach(uint64_t session, uint32_t handle) {
    Handle h;
    if (!ownedHandle(session, handle, h)) {
        return RZERR_INVALID_DID;
    }
    if (h.attaches == 0) {
        return RZERR_INVALID_DATASTREAM;
    }
    std::lock_guard<std::mutex> life(lifeMutex_);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        --handles_[handle].attaches;
    }
    dropTopic_life(h.instance, 0);
    return RZERR_NO_ERROR;
}

int DeviceServer::closeHandle(uint64_t session, uint32_t handle) {
    Handle h;
    if (!ownedHandle(session, handle, h)) {
        return RZERR_INVALID_DID;
    }
    {
        std::lock_guard<std::mutex> life(lifeMutex_);
        int attaches = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            attaches = handles_[handle].attaches;
            handles_[handle].attaches = 0;
        }
        for (int i = 0; i < attaches; ++i) {
            dropTopic_life(h.instance, h.device);
        }
        std::lock_guard<std::mutex> lock(stateMutex_);
        handles_.erase(handle);
    }
    if (options_.forward != nullptr) {
        options_.forward->closing(h.device, h.instance);
    }
    RZ_DeviceClose(h.device);
    log(LogLevel::Debug, "handle %u (instance %u) closed", handle, h.instance);
    return RZERR_NO_ERROR;
}

int DeviceServer::releaseSession(uint64_t session) {
    std::vector<uint32_t> owned;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        for (auto& [id, h] : handles_) {
            if (h.session == session) {
                owned.push_back(id);
            }
        }
    }
    int released = 0;
    for (uint32_t id : owned) {
        released += closeHandle(session, id) == RZERR_NO_ERROR ? 1 : 0;
    }
    std::lock_guard<std::mutex> lock(stateMutex_);
    sessions_.erase(session);
    return released;
}

}  // namespace dmserver
