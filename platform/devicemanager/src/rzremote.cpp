// The client calls' remote path: devices opened with a server text that names an address
// live in a dmserver; their handles carry kRemoteBit so they never meet an in-process one.
//
// One session per server address serves every remote handle of the process. Lock order:
// gMutex is never held while a link's streamsMutex is taken, because the receive thread
// delivers under streamsMutex and a reader callback may call back into these functions.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "devicemanager/rzclient.h"
#include "remotesession.hpp"
#include "rzinternal.hpp"

namespace {

constexpr RzDeviceHandle kRemoteBit = 1ull << 63;

struct Link {
    struct Attached {
        uint32_t topic;
        RzDeviceHandle handle;
    };
    std::recursive_mutex streamsMutex;  // held while delivering; guards attached
    std::map<RzDataStream*, Attached> attached;
    int handles = 0;  // guarded by gMutex
    // Declared last: destroyed (receive thread joined) before the members it delivers to.
    std::unique_ptr<rzremote::Session> session;

    void deliver(uint32_t topic, const rzwire::DataRecord& record) {
        std::lock_guard<std::recursive_mutex> lock(streamsMutex);
        std::vector<RzDataStream*> targets;
        for (auto& [stream, a] : attached) {
            if (a.topic == topic) {
                targets.push_back(stream);
            }
        }
        for (RzDataStream* stream : targets) {
            if (attached.count(stream) == 0) {
                continue;  // detached by an earlier reader callback of this delivery
            }
            if (record.kind == rzwire::DataKind::Announce) {
                RZ_DataStreamAnnounce(stream, record.reason);
                continue;
            }
            int n = static_cast<int>(record.payload.size());
            if (n > 0 && RZ_DataStreamWrite(stream, record.payload.data(), n) != n) {
                // Nobody empties it: dropped, as a plug-in drops such a stream.
                RZ_DataStreamAnnounce(stream, RZ_STREAM_QUIT);
                attached.erase(stream);
            }
        }
    }
};

struct RemoteDevice {
    std::shared_ptr<Link> link;
    uint32_t serverHandle = 0;
    uint32_t instance = 0;
};

std::mutex gMutex;
std::map<std::string, std::shared_ptr<Link>> gLinks;
std::unordered_map<RzDeviceHandle, RemoteDevice> gDevices;
// Links whose last handle was closed on their own receive thread: destroyed later.
std::vector<std::shared_ptr<Link>> gDeferred;
RzDeviceHandle gNext = 0;

int timeoutMs() {
    const char* env = std::getenv("RZ_SERVER_TIMEOUT_MS");
    int v = env ? std::atoi(env) : 0;
    return v > 0 ? v : 10000;
}

bool lookup(RzDeviceHandle handle, RemoteDevice& out) {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gDevices.find(handle);
    if (it == gDevices.end()) {
        return false;
    }
    out = it->second;
    return true;
}

// Drops one handle's claim on its link; gives the link back when it is to be destroyed
// (by the caller, outside gMutex).
std::shared_ptr<Link> releaseLink_locked(const std::shared_ptr<Link>& link) {
    if (--link->handles > 0) {
        return nullptr;
    }
    for (auto it = gLinks.begin(); it != gLinks.end(); ++it) {
        if (it->second == link) {
            gLinks.erase(it);
            break;
        }
    }
    if (link->session && link->session->onReceiveThread()) {
        gDeferred.push_back(link);
        return nullptr;
    }
    return link;
}

std::vector<std::shared_ptr<Link>> takeDeferred_locked() {
    std::vector<std::shared_ptr<Link>> out;
    for (auto it = gDeferred.begin(); it != gDeferred.end();) {
        if (!(*it)->session->onReceiveThread()) {
            out.push_back(*it);
            it = gDeferred.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

}  // namespace

namespace rzcore {

bool isRemoteHandle(RzDeviceHandle handle) {
    return (handle & kRemoteBit) != 0;
}

bool remoteServer(const char* server) {
    std::string host;
    int port = 0;
    return rzwire::parseServerText(server, host, port);
}

RzDeviceHandle remoteOpen(const char* server, const char* device, const char* type) {
    std::string host;
    int port = 0;
    if (!rzwire::parseServerText(server, host, port)) {
        RZ_SetLastError(RZERR_INVALID_URL);
        return 0;
    }
    if (type == nullptr || *type == '\0') {
        RZ_SetLastError(RZERR_INVALID_PARAM);
        return 0;
    }
    std::string key = rzwire::endpoint(host, port);
    std::shared_ptr<Link> link;
    std::vector<std::shared_ptr<Link>> stale;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        stale = takeDeferred_locked();
        auto it = gLinks.find(key);
        if (it != gLinks.end()) {
            link = it->second;
        } else {
            link = std::make_shared<Link>();
            Link* raw = link.get();
            int r = 0;
            link->session = rzremote::Session::connect(
                host, port, [raw](uint32_t t, const rzwire::DataRecord& d) { raw->deliver(t, d); },
                timeoutMs(), r);
            if (!link->session) {
                RZ_SetLastError(r);
                return 0;
            }
            gLinks[key] = link;
        }
        ++link->handles;
    }
    stale.clear();
    uint32_t serverHandle = 0, instance = 0;
    int r = link->session->open(type, device ? device : "", serverHandle, instance);
    std::shared_ptr<Link> dead;  // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(gMutex);
    if (r != RZERR_NO_ERROR) {
        RZ_SetLastError(r);
        dead = releaseLink_locked(link);
        return 0;
    }
    RzDeviceHandle handle = kRemoteBit | ++gNext;
    gDevices[handle] = RemoteDevice{link, serverHandle, instance};
    RZ_SetLastError(RZERR_NO_ERROR);
    return handle;
}

int remoteClose(RzDeviceHandle handle) {
    RemoteDevice dev;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        auto it = gDevices.find(handle);
        if (it == gDevices.end()) {
            return RZERR_INVALID_DID;
        }
        dev = it->second;
        gDevices.erase(it);
    }
    {
        // Streams still attached through this handle learn that it is gone.
        std::lock_guard<std::recursive_mutex> lock(dev.link->streamsMutex);
        for (auto it = dev.link->attached.begin(); it != dev.link->attached.end();) {
            if (it->second.handle == handle) {
                RZ_DataStreamAnnounce(it->first, RZ_STREAM_QUIT);
                it = dev.link->attached.erase(it);
            } else {
                ++it;
            }
        }
    }
    dev.link->session->close(dev.serverHandle);
    std::shared_ptr<Link> dead;
    std::vector<std::shared_ptr<Link>> stale;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        dead = releaseLink_locked(dev.link);
        stale = takeDeferred_locked();
    }
    return RZERR_NO_ERROR;
}

int remoteControl(RzDeviceHandle handle, int message, int argcode, void* buffer, int* length,
                  int capacity) {
    RemoteDevice dev;
    if (!lookup(handle, dev)) {
        return RZERR_INVALID_DID;
    }
    int inLength = length ? *length : 0;
    if (int bad = checkControlArguments(message, argcode, buffer, inLength, capacity)) {
        return bad;
    }
    rzwire::Bytes reply;
    int cap = buffer ? std::min(capacity, rzwire::kMaxCapacity) : 0;
    int r = dev.link->session->control(dev.serverHandle, message, argcode,
                                       static_cast<const uint8_t*>(buffer), inLength, cap, reply);
    if (length) {
        *length = static_cast<int>(reply.size());
    }
    if (!reply.empty()) {
        std::memcpy(buffer, reply.data(), reply.size());
    }
    return r;
}

int remoteAttach(RzDeviceHandle handle, RzDataStream* stream) {
    RemoteDevice dev;
    if (!lookup(handle, dev)) {
        return RZERR_INVALID_DID;
    }
    if (!RZ_DataStreamIsValid(stream)) {
        return RZERR_INVALID_DATASTREAM;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(dev.link->streamsMutex);
        if (dev.link->attached.count(stream) != 0) {
            return RZERR_DEVICE_IN_USE;
        }
    }
    uint32_t topic = 0;
    int r = dev.link->session->attach(dev.serverHandle, topic);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    std::lock_guard<std::recursive_mutex> lock(dev.link->streamsMutex);
    dev.link->attached[stream] = Link::Attached{topic, handle};
    return RZERR_NO_ERROR;
}

int remoteDetach(RzDeviceHandle handle, RzDataStream* stream) {
    RemoteDevice dev;
    if (!lookup(handle, dev)) {
        return RZERR_INVALID_DID;
    }
    uint32_t topic = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(dev.link->streamsMutex);
        auto it = dev.link->attached.find(stream);
        if (it == dev.link->attached.end() || it->second.handle != handle) {
            return RZERR_INVALID_DATASTREAM;
        }
        topic = it->second.topic;
        RZ_DataStreamAnnounce(stream, RZ_STREAM_QUIT);
        dev.link->attached.erase(it);
    }
    return dev.link->session->detach(dev.serverHandle, topic);
}

uint32_t remoteInstanceId(RzDeviceHandle handle) {
    RemoteDevice dev;
    return lookup(handle, dev) ? dev.instance : 0;
}

void remoteCloseAll() {
    std::vector<RzDeviceHandle> open;
    std::vector<std::shared_ptr<Link>> stale;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        for (auto& [handle, dev] : gDevices) {
            open.push_back(handle);
        }
        stale = takeDeferred_locked();
    }
    for (RzDeviceHandle h : open) {
        remoteClose(h);
    }
}

}  // namespace rzcore

extern "C" int RZ_GetServerPlugins(const char* server, RzPluginInfo* out, int capacity) {
    std::string host;
    int port = 0;
    if (!rzwire::parseServerText(server, host, port)) {
        return RZERR_INVALID_URL;
    }
    if (capacity < 0 || (out == nullptr && capacity > 0)) {
        return RZERR_INVALID_PARAM;
    }
    int r = 0;
    auto session = rzremote::Session::connect(host, port, nullptr, timeoutMs(), r);
    if (!session) {
        return r;
    }
    std::vector<rzremote::PluginInfo> list;
    r = session->plugins(list);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    for (size_t i = 0; i < list.size() && static_cast<int>(i) < capacity; ++i) {
        RzPluginInfo& info = out[i];
        info = RzPluginInfo{};
        std::snprintf(info.module, sizeof(info.module), "%s", list[i].module.c_str());
        std::snprintf(info.name, sizeof(info.name), "%s", list[i].name.c_str());
        info.kind = list[i].kind;
        info.versionA = list[i].versionA;
        info.versionB = list[i].versionB;
    }
    return static_cast<int>(list.size());
}
