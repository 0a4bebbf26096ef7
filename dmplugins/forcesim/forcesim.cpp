// forcesim: a device-manager plug-in standing in for the force-feedback hardware, a
// tracked arm ("kortavel") carrying a grasp exoskeleton ("vexagrasp"). Both device types
// of one unit open the same instance: the arm answers tracker records that follow a
// scripted pose, the exoskeleton takes force packets and keeps the last one for whoever
// wants to check what the hand would have felt.
//
// Settings (device text, or the configuration file for what does not fit a registry
// field): "script" names a pose script file, "dump" a file that receives each force
// packet. Configuration queries "device=forcesim:item=script:name=NAME" (the script
// itself) and "device=forcesim:item=dump:name=NAME" (a path) are asked when the device text
// has none.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "common/dpframe.hpp"
#include "forcesim/posescript.hpp"

namespace {

constexpr uint8_t kKindForceSim = 131;
constexpr int kRecordSize = 49;        // receiver byte, x, y, z, azimuth, elevation, roll
constexpr int kOffsetRecordSize = 25;  // receiver index byte, x, y, z
constexpr int kPacketSize = 3953;
constexpr int kLastPacketItem = 16;  // message 15 item: the last force packet

const RzStringIndex kNames[] = {{0, "kortavel"}, {1, "vexagrasp"}, {-1, nullptr}};

struct ForceSimState {
    forcesim::PoseScript script;
    double start = 0;  // seconds, RZ_GetCurrentTime at creation
    std::mutex mutex;  // guards offset, packet and dump (handlers run on the core's threads)
    double offset[3] = {0, 0, 0};  // receiver 1's offset, set by message 20
    std::vector<uint8_t> packet;   // last force packet, empty before the first
    std::string dump;              // file each packet is written to; empty: none
};

ForceSimState* stateOf(RzInstance* inst) {
    return static_cast<ForceSimState*>(inst->priv);
}

// A configuration answer for this instance, or "" when there is none.
std::string configAnswer(const char* item, const char* name) {
    const RzCoreServices* svc = dp::services();
    if (svc == nullptr || svc->query == nullptr) {
        return {};
    }
    char query[RZ_NAME_SIZE + 64];
    std::snprintf(query, sizeof query, "device=forcesim:item=%s:name=%s", item, name);
    char answer[512] = {};
    int n = svc->query(query, answer, sizeof answer);
    return n > 0 ? std::string(answer, static_cast<size_t>(n)) : std::string();
}

// Whole file, at most 64 KiB; false when it cannot be read or is larger.
bool readFile(const std::string& path, std::string& out_text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    out_text = text.str();
    return out_text.size() <= 65536;
}

// Written beside the target and renamed over it, so a reader never sees half a packet.
void writeDump(const std::string& path, const std::vector<uint8_t>& packet) {
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        DP_LOG(0, "[forcesim] cannot write %s: %s\n", tmp.c_str(), std::strerror(errno));
        return;
    }
    bool ok = std::fwrite(packet.data(), 1, packet.size(), f) == packet.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        DP_LOG(0, "[forcesim] cannot write %s\n", path.c_str());
        std::remove(tmp.c_str());
    }
}

RzInstance* rzdpNew(const char* name, const char* settings) {
    // Paths are read as the text after "key=" up to the next separator; other keys (the
    // registry's baud rate) mean nothing to a simulated unit.
    char scriptPath[256] = {};
    char dumpPath[256] = {};
    if (name == nullptr || *name == '\0') {
        DP_LOG(0, "[forcesim] New: Invalid device %s\n", settings ? settings : "(null)");
        RZ_SetLastError(RZERR_INVALID_URL);
        return nullptr;
    }
    forcesim::textSetting(settings, "script", scriptPath, sizeof scriptPath);
    forcesim::textSetting(settings, "dump", dumpPath, sizeof dumpPath);

    char canonical[RZ_NAME_SIZE + 32];
    int len = std::snprintf(canonical, sizeof(canonical), "%s:device=forcesim\n", name);
    if (len < 0 || len >= RZ_NAME_SIZE) {
        DP_LOG(0, "[forcesim] New: name too long: %s\n", name);
        RZ_SetLastError(RZERR_INVALID_PARAM);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(dp::creationMutex());
    if (RzInstance* inst = dp::share(canonical)) {
        DP_LOG(2, "[forcesim] %s shared\n", name);
        return inst;
    }

    std::string scriptText;
    if (scriptPath[0] != '\0') {
        if (!readFile(scriptPath, scriptText)) {
            DP_LOG(0, "[forcesim] New: cannot read the pose script %s\n", scriptPath);
            RZ_SetLastError(RZERR_FILE_OPEN);
            return nullptr;
        }
    } else {
        scriptText = configAnswer("script", name);
    }
    forcesim::PoseScript script;
    std::string error;
    if (!script.parse(scriptText, error)) {
        DP_LOG(0, "[forcesim] New: pose script of %s: %s\n", name, error.c_str());
        RZ_SetLastError(RZERR_FILE_INVALID_CONTENT);
        return nullptr;
    }

    RzInstance* inst = dp::create(canonical, sizeof(ForceSimState));
    if (inst == nullptr) {
        return nullptr;
    }
    auto* st = new (inst->priv) ForceSimState;
    st->script = std::move(script);
    st->start = RZ_GetCurrentTime();
    st->dump = dumpPath[0] != '\0' ? std::string(dumpPath) : configAnswer("dump", name);
    DP_LOG(1, "[forcesim] %s created (%d pose keys)\n", name, st->script.keyCount());
    return inst;
}

int rzdpDestroy(RzInstance* inst) {
    int r = dp::beginRelease(inst);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    stateOf(inst)->~ForceSimState();
    dp::finishRelease(inst);
    DP_LOG(1, "[forcesim] released\n");
    return RZERR_NO_ERROR;
}

int rzdpMatchName(const char* name) {
    return RZ_GetStringIndex(name, kNames);
}

// The unit has no data streams: clients poll the arm with message 15.
int rzdpAttach(RzInstance* inst, RzDataStream*) {
    dp::Pin pin(inst);
    return pin ? RZERR_INVALID_DATASTREAM : RZERR_INVALID_INSTANCE;
}

int rzdpDetach(RzInstance* inst, RzDataStream*) {
    dp::Pin pin(inst);
    return pin ? RZERR_INVALID_DATASTREAM : RZERR_INVALID_INSTANCE;
}

int onRelease(RzInstance* inst, RzMessageHeader* header, uint8_t*, int) {
    return dp::handleRelease(inst, header, [](int r) { return r == 0 ? 0 : -1; });
}

int answer(RzMessageHeader* header, int result, int length) {
    dp::reply(header, result, length);
    return result;
}

void putRecord(uint8_t* out, int receiver, const double pose[6]) {
    out[0] = static_cast<uint8_t>(receiver);
    for (int k = 0; k < 6; ++k) {
        RZ_PutDouble(out + 1 + 8 * k, pose[k]);
    }
}

// 15/1 raw record, 15/2 corrected record of receiver 1; 15/16 the last force packet.
int onRead(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    ForceSimState* st = stateOf(inst);
    int item = dp::item(header);
    if (item == kLastPacketItem) {
        std::lock_guard<std::mutex> lock(st->mutex);
        int n = static_cast<int>(st->packet.size());
        if (n > size) {
            return answer(header, RZERR_BUFFER_TOO_SMALL, 0);
        }
        std::copy(st->packet.begin(), st->packet.end(), payload);
        return answer(header, RZERR_NO_ERROR, n);
    }
    if (item != 1 && item != 2) {
        return answer(header, RZERR_MESSAGE_INVALID_ARGCODE, 0);
    }
    if (size < kRecordSize) {
        return answer(header, RZERR_BUFFER_TOO_SMALL, 0);
    }
    double pose[6];  // x, y, z, azimuth, elevation, roll
    st->script.poseAt(RZ_GetCurrentTime() - st->start, pose);
    if (item == 2) {
        std::lock_guard<std::mutex> lock(st->mutex);
        for (int k = 0; k < 3; ++k) {
            pose[k] -= st->offset[k];
        }
    }
    putRecord(payload, 1, pose);
    return answer(header, RZERR_NO_ERROR, kRecordSize);
}

// 19/1: the arm's own receiver offsets; the simulated arm is exact, so zero.
int onHardwareOffsets(RzInstance*, RzMessageHeader* header, uint8_t* payload, int size) {
    if (dp::item(header) != 1) {
        return answer(header, RZERR_MESSAGE_INVALID_ARGCODE, 0);
    }
    if (size < kOffsetRecordSize) {
        return answer(header, RZERR_BUFFER_TOO_SMALL, 0);
    }
    payload[0] = 0;
    for (int k = 0; k < 3; ++k) {
        RZ_PutDouble(payload + 1 + 8 * k, 0.0);
    }
    return answer(header, RZERR_NO_ERROR, kOffsetRecordSize);
}

// 20/129: "%1d %f %f %f\n", receiver (1-based) and the offset taken from its position.
int onSetOffset(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int) {
    if (dp::item(header) != 1 || !dp::textForm(header)) {
        return answer(header, RZERR_MESSAGE_INVALID_ARGCODE, 0);
    }
    std::string text(reinterpret_cast<const char*>(payload),
                     static_cast<size_t>(dp::payloadLength(header)));
    int receiver = 0;
    double v[3];
    char tail = 0;
    int n = std::sscanf(text.c_str(), "%d %lf %lf %lf %c", &receiver, &v[0], &v[1], &v[2], &tail);
    if (n != 4 || receiver != 1 || !std::isfinite(v[0]) || !std::isfinite(v[1]) ||
        !std::isfinite(v[2])) {
        DP_LOG(0, "[forcesim] bad receiver offset: %.60s\n", text.c_str());
        return answer(header, RZERR_MESSAGE_INVALID_BODY, 0);
    }
    ForceSimState* st = stateOf(inst);
    std::lock_guard<std::mutex> lock(st->mutex);
    std::copy(v, v + 3, st->offset);
    return answer(header, RZERR_NO_ERROR, 0);
}

// 16/2: one force packet of the exoskeleton.
int onForces(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int) {
    if (dp::item(header) != 2) {
        return answer(header, RZERR_MESSAGE_INVALID_ARGCODE, 0);
    }
    if (dp::payloadLength(header) != kPacketSize) {
        DP_LOG(0, "[forcesim] force packet of %d bytes\n", dp::payloadLength(header));
        return answer(header, RZERR_MESSAGE_INVALID_BODY, 0);
    }
    ForceSimState* st = stateOf(inst);
    {
        std::lock_guard<std::mutex> lock(st->mutex);
        st->packet.assign(payload, payload + kPacketSize);
        if (!st->dump.empty()) {
            writeDump(st->dump, st->packet);
        }
    }
    return answer(header, RZERR_NO_ERROR, 0);
}

void installHandlers() {
    dp::setHandler(RZ_MSG_RELEASE, onRelease);
    dp::setHandler(RZ_MSG_READ, onRead);
    dp::setHandler(RZ_MSG_WRITE, onForces);
    dp::setHandler(RZ_MSG_READ_CALIBRATION, onHardwareOffsets);
    dp::setHandler(RZ_MSG_WRITE_CALIBRATION, onSetOffset);
}

const dp::Description kDescription = {
    kKindForceSim, "forcesim V1.00", rzdpNew,    rzdpDestroy,
    rzdpMatchName, rzdpAttach,       rzdpDetach, installHandlers,
};

}  // namespace

DP_PLUGIN_EXPORTS(kDescription)
