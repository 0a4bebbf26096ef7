#include "handforward.hpp"

#include "devicemanager/rzplugin.h"
#include "log.hpp"

namespace dmserver {

namespace {
// A glove record: the joint values, one little double each, in sensor order.
constexpr int kGloveRecord = streaming::kSensorCount * 8;
}  // namespace

struct HandForwarder::Glove {
    HandForwarder* owner = nullptr;
    RzDataStream* stream = nullptr;
    std::set<RzDeviceHandle> handles;  // open handles of the instance; one of them is `via`
    RzDeviceHandle via = 0;            // the handle the stream was attached through
    streaming::Frame frame;            // reader only, after the attach
};

// Runs on the plug-in's thread inside its write; whole records only.
int forwardReader(RzDataStream* stream, int reason) {
    auto* glove = static_cast<HandForwarder::Glove*>(RZ_DataStreamUser(stream));
    if (glove == nullptr) {
        return 0;
    }
    if (reason == RZ_STREAM_FULL) {
        RZ_DataStreamPurge(stream);
        return 0;
    }
    if (reason != RZ_STREAM_DATA) {
        return 0;
    }
    uint8_t record[kGloveRecord];
    while (RZ_DataStreamAvailable(stream) >= kGloveRecord &&
           RZ_DataStreamRead(stream, record, kGloveRecord) == kGloveRecord) {
        for (int k = 0; k < streaming::kSensorCount; ++k) {
            glove->frame.angles[k] = RZ_GetDouble(record + 8 * k);
        }
        glove->frame.received = std::chrono::system_clock::now();
        std::lock_guard<std::mutex> lock(glove->owner->m_sendLock);
        glove->owner->m_stream.send(glove->frame);
    }
    // Anything shorter is not a glove record: dropped rather than left to shift the next.
    RZ_DataStreamPurge(stream);
    return 0;
}

HandForwarder::HandForwarder(const streaming::StreamOptions& options) : m_stream(options) {}

HandForwarder::~HandForwarder() {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& [instance, glove] : m_gloves) {
        RZ_DeviceDetachDataStream(glove->via, glove->stream);
        RZ_DataStreamDestroy(glove->stream);
    }
}

void HandForwarder::opened(RzDeviceHandle device, uint32_t instance) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_gloves.find(instance);
    if (it != m_gloves.end()) {
        it->second->handles.insert(device);
        return;
    }
    // Only a glove answers the info message with its three flags; the first is the hand.
    char info[3] = {};
    if (RZ_DeviceControlGet(device, RZ_MSG_INFO, 0, info, sizeof info) != 3) {
        return;
    }
    auto glove = std::make_unique<Glove>();
    glove->owner = this;
    glove->via = device;
    glove->handles.insert(device);
    glove->frame.name = "glove" + std::to_string(instance);
    glove->frame.rightHand = info[0] != 0;
    glove->stream = RZ_DataStreamNew(65536, forwardReader, glove.get());
    if (glove->stream == nullptr) {
        log(LogLevel::Warn, "no stream for glove instance %u", instance);
        return;
    }
    int r = RZ_DeviceAttachDataStream(device, glove->stream);
    if (r != RZERR_NO_ERROR) {
        log(LogLevel::Warn, "cannot stream glove instance %u: %s", instance, RZ_ErrorName(r));
        RZ_DataStreamDestroy(glove->stream);
        return;
    }
    log(LogLevel::Info, "streaming glove instance %u as %s (%s hand)", instance,
        glove->frame.name.c_str(), glove->frame.rightHand ? "right" : "left");
    m_gloves.emplace(instance, std::move(glove));
}

void HandForwarder::closing(RzDeviceHandle device, uint32_t instance) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_gloves.find(instance);
    if (it == m_gloves.end()) {
        return;
    }
    Glove& glove = *it->second;
    glove.handles.erase(device);
    if (!glove.handles.empty()) {
        // Any other handle of the instance reaches the same client-stream list to detach.
        glove.via = *glove.handles.begin();
        return;
    }
    RZ_DeviceDetachDataStream(device, glove.stream);
    RZ_DataStreamDestroy(glove.stream);  // waits for a delivery in flight
    m_gloves.erase(it);
}

}  // namespace dmserver
