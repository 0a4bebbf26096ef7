// The device manager as a service: a ROUTER socket answers the requests of many clients
// (devices are opened, controlled and closed in this process through the in-process core)
// and a PUB socket carries each attached instance's stream, topic = instance id. Requests
// that call into plug-ins run on a pool of workers, so a device that is slow to answer holds
// only its own client; the ROUTER and PUB sockets never block on a slow peer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "devicemanager/rzclient.h"
#include "rzwire.hpp"

namespace dmserver {

class HandForwarder;

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 7800;                   // 0: any free port (see DeviceServer::controlPort)
    int dataPort = 0;                  // 0: any free port; clients learn it from the hello reply
    int leaseMs = 5000;                // a client silent this long loses its devices
    int workers = 8;                   // threads that call into the plug-ins
    int queueLimit = 1024;             // requests waiting for a worker before "busy" replies
    int publishHwm = 1000;             // records queued per subscriber before they are dropped
    int ioThreads = 1;                 // ZeroMQ I/O threads: the publisher's fan-out to subscribers
    int silenceMs = 2000;              // a streaming instance quiet this long is logged as silent
    HandForwarder* forward = nullptr;  // told of every open and close; outlives the server
};

class DeviceServer {
  public:
    explicit DeviceServer(ServerOptions options);
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Binds both sockets; false with a message on failure.
    bool bind(std::string& outError);
    int controlPort() const { return controlPort_; }
    int dataPort() const { return dataPort_; }
    // Serves until `stopFd` becomes readable, then releases every device it opened.
    void run(int stopFd);

    // Called on the plug-in's thread that writes the stream (see server.cpp).
    struct Topic;
    void publish(Topic& topic, rzwire::DataKind kind, int reason, const uint8_t* data, size_t size);

  private:
    using Clock = std::chrono::steady_clock;
    struct Job {
        std::string peer;  // ROUTER identity
        rzwire::Request request;
        bool expire = false;  // release a silent session's devices, no reply
    };
    struct Handle {
        uint64_t session = 0;
        RzDeviceHandle device = 0;
        uint32_t instance = 0;
        int attaches = 0;
    };
    struct Session {
        Clock::time_point lastSeen;
        int pending = 0;  // requests queued or running: a busy session never expires
    };

    void receive();
    void sendReplies();
    void sweep();
    void watchSilence();
    void reply(const std::string& peer, const rzwire::Reply& r);
    void enqueue(Job job, rzwire::Reply& errorReply);
    void workerLoop();
    rzwire::Reply execute(const Job& job);
    int open(uint64_t session, rzwire::Reader& in, rzwire::Writer& out);
    int control(uint64_t session, rzwire::Reader& in, rzwire::Writer& out);
    int attach(uint64_t session, uint32_t handle, rzwire::Writer& out);
    int detach(uint64_t session, uint32_t handle);
    int closeHandle(uint64_t session, uint32_t handle);
    int releaseSession(uint64_t session);
    bool ownedHandle(uint64_t session, uint32_t handle, Handle& out);
    void dropTopic_life(uint32_t instance, RzDeviceHandle closing);

    ServerOptions options_;
    zmq::context_t context_;
    zmq::socket_t router_;     // main thread only
    std::mutex publishMutex_;  // guards pub_
    zmq::socket_t pub_;
    int controlPort_ = 0;
    int dataPort_ = 0;
    int outboxFd_ = -1;  // eventfd: replies waiting in outbox_

    std::mutex stateMutex_;  // guards sessions_, handles_, nextHandle_
    std::map<uint64_t, Session> sessions_;
    std::map<uint32_t, Handle> handles_;
    uint32_t nextHandle_ = 0;

    // Serialises the stream bookkeeping and the plug-in calls that attach and detach; never
    // taken by a stream's reader, so a plug-in thread that publishes never waits for it.
    std::mutex lifeMutex_;
    std::map<uint32_t, std::unique_ptr<Topic>> topics_;  // guarded by lifeMutex_
    std::atomic<uint32_t> topicCount_{0};

    std::mutex jobMutex_;  // guards jobs_, stopping_
    std::condition_variable jobReady_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;

    std::mutex outboxMutex_;
    std::deque<std::pair<std::string, rzwire::Bytes>> outbox_;
};

}  // namespace dmserver
