// Sends the joint values of every open glove on to other tools (OSC, VMC, ROS 2): the server
// attaches a stream of its own to each glove instance, whether or not a client attached one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "devicemanager/rzclient.h"
#include "streaming/handstream.hpp"

namespace dmserver {

class HandForwarder {
  public:
    // Throws std::runtime_error when a target cannot be set up.
    explicit HandForwarder(const streaming::StreamOptions& options);
    ~HandForwarder();
    HandForwarder(const HandForwarder&) = delete;
    HandForwarder& operator=(const HandForwarder&) = delete;

    // A handle was opened; a glove instance seen for the first time starts streaming.
    void opened(RzDeviceHandle device, uint32_t instance);
    // A handle is about to be closed (call before RZ_DeviceClose): the last one of an
    // instance stops its stream.
    void closing(RzDeviceHandle device, uint32_t instance);

    struct Glove;

  private:
    std::mutex m_lock;  // guards m_gloves; never taken by a stream's reader
    std::map<uint32_t, std::unique_ptr<Glove>> m_gloves;
    std::mutex m_sendLock;  // one sender at a time: the gloves' plug-in threads differ
    streaming::HandStream m_stream;

    friend int forwardReader(RzDataStream*, int);
};

}  // namespace dmserver
