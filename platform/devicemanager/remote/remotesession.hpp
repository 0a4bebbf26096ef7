// One client's connection to a dmserver: a DEALER socket for requests (any thread, one
// request at a time under a lock) and a SUB socket for the device streams, owned by the
// session's receive thread, which also keeps the server-side lease alive with heartbeats.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "rzwire.hpp"

namespace rzremote {

struct ServerStatus {
    uint32_t sessions = 0;
    uint32_t handles = 0;
    uint32_t streams = 0;
};

struct PluginInfo {
    int kind = 0;
    int versionA = 0;
    int versionB = 0;
    std::string module;
    std::string name;
};

class Session {
  public:
    // Called on the receive thread for every record of a subscribed topic, in order.
    using DataHandler = std::function<void(uint32_t topic, const rzwire::DataRecord&)>;

    // Connects and says hello; null (with `outResult` negative) when the server does not
    // answer within `timeoutMs`, which also bounds every later request.
    static std::unique_ptr<Session> connect(const std::string& host, int port, DataHandler onData,
                                            int timeoutMs, int& outResult);
    // Says goodbye (the server releases what is left), wakes and joins the receive thread.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int open(const std::string& type, const std::string& device, uint32_t& outHandle,
             uint32_t& outInstance);
    int close(uint32_t handle);
    // Result of the device's reply; `outReply` holds the reply payload (empty when the
    // plug-in sent none).
    int control(uint32_t handle, int message, int argcode, const uint8_t* payload, int length,
                int capacity, rzwire::Bytes& outReply);
    // Attach subscribes to the instance's topic before returning; detach drops it.
    int attach(uint32_t handle, uint32_t& outTopic);
    int detach(uint32_t handle, uint32_t topic);
    int status(ServerStatus& out);
    int plugins(std::vector<PluginInfo>& out);

    // One request and its reply; the reply's result, or -37 on time-out.
    int request(rzwire::Op op, rzwire::Bytes body, rzwire::Reply& outReply);
    bool onReceiveThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    uint64_t id() const { return id_; }

  private:
    Session(const std::string& host, int port, DataHandler onData, int timeoutMs);
    int start();
    void receiveLoop();
    void heartbeat();
    // A request that wants no reply (heartbeat, goodbye).
    void send(rzwire::Op op);
    void send_locked(rzwire::Op op);
    // Queues a subscription change for the receive thread and waits until it is applied.
    void changeSubscription(uint32_t topic, bool subscribe);
    void applySubscription(uint32_t topic, bool subscribe);  // receive thread only
    void wake();

    std::string host_;
    int port_;
    DataHandler onData_;
    int timeoutMs_;
    uint64_t id_;
    int wakeFd_ = -1;  // eventfd: stop and subscription changes

    std::mutex requestMutex_;  // guards dealer_, nextId_
    zmq::socket_t dealer_;
    uint32_t nextId_ = 0;

    zmq::socket_t sub_;                   // receive thread only (after start)
    std::map<uint32_t, int> subscribed_;  // receive thread only: topic -> attach count
    int heartbeatMs_ = 1000;

    std::mutex changeMutex_;  // guards changes_, applied_
    std::condition_variable changeApplied_;
    std::vector<std::pair<uint32_t, bool>> changes_;
    uint64_t queued_ = 0;
    uint64_t applied_ = 0;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The process's ZeroMQ context, made on first use and kept to the end of the process.
zmq::context_t& context();

}  // namespace rzremote
