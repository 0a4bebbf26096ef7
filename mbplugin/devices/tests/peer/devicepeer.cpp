// devicepeer: a device-manager plug-in for the device library's tests. It answers the
// messages the library sends with replies chosen by the instance name, including replies a
// well-behaved driver would never send, and keeps a log of what it was sent (message 21
// gives the log and clears it).
//
// Names: "full" a complete glove calibration; "short" 30 records only; "cutmid" a record
// cut in half; "garbled" records with out-of-range fields; "minus12" a complete calibration
// answered -12; "negative" every read answered -21; "left" a left-hand glove; "trk" tracker
// records with receivers out of range; "oversize" message 16 answered with 64 bytes, as much
// of them as the buffer holds written into it.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "common/dpframe.hpp"

namespace {

constexpr uint8_t kKind = 201;
const RzStringIndex kNames[] = {{0, "devicepeer"}, {-1, nullptr}};

struct PeerState {
    std::mutex mutex;
    std::string log;  // per message: number, argcode, 16-bit length, up to 64 payload bytes
    char name[64] = {};
};

PeerState* stateOf(RzInstance* inst) {
    return static_cast<PeerState*>(inst->priv);
}

bool named(RzInstance* inst, const char* name) {
    return std::strcmp(stateOf(inst)->name, name) == 0;
}

int put(uint8_t* out, int size, int at, const void* bytes, int n) {
    if (at + n > size)
        return at;
    std::memcpy(out + at, bytes, static_cast<std::size_t>(n));
    return at + n;
}

int calibrationRecords(RzInstance* inst, uint8_t* out, int size) {
    int at = 0;
    int records = named(inst, "short") ? 30 : 48;
    for (int r = 0; r < records; ++r) {
        int sensor = r / 2;
        uint8_t rec[11];
        rec[0] = static_cast<uint8_t>(sensor / 4);
        rec[1] = static_cast<uint8_t>(sensor % 4);
        rec[2] = static_cast<uint8_t>(r % 2);
        if (named(inst, "garbled") && sensor == 5)
            rec[0] = 9;
        RZ_PutDouble(rec + 3, r % 2 ? 0.001 * (sensor + 1) : 50.0 + sensor);
        at = put(out, size, at, rec, 11);
        if (named(inst, "cutmid") && sensor == 10 && r % 2 == 0)
            return at - 5;
    }
    return at;
}

void logMessage(RzInstance* inst, RzMessageHeader* header, const uint8_t* payload) {
    PeerState* st = stateOf(inst);
    int len = dp::payloadLength(header);
    std::lock_guard<std::mutex> lock(st->mutex);
    st->log.push_back(static_cast<char>(header->bytes[RZ_HDR_MESSAGE]));
    st->log.push_back(static_cast<char>(header->bytes[RZ_HDR_ARGCODE]));
    st->log.push_back(static_cast<char>(len >> 8));
    st->log.push_back(static_cast<char>(len & 0xff));
    int kept = len < 64 ? len : 64;
    st->log.append(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(kept));
}

int answer(RzMessageHeader* header, int result, int length) {
    dp::reply(header, result, length);
    return result;
}

int onHand(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    if (size < 3)
        return answer(header, RZERR_BUFFER_TOO_SMALL, 0);
    payload[0] = named(inst, "left") ? 0 : 1;
    payload[1] = 1;
    payload[2] = 0;
    return answer(header, 0, 3);
}

int onRead(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    if (named(inst, "negative"))
        return answer(header, RZERR_DEVICE_NOT_READY, 0);
    int at = 0;
    if (named(inst, "trk")) {
        // Receivers 1 and 2, then 9 and 0 (out of range), then half a record.
        const uint8_t receivers[] = {1, 2, 9, 0};
        for (uint8_t r : receivers) {
            uint8_t rec[49];
            rec[0] = r;
            for (int k = 0; k < 6; ++k)
                RZ_PutDouble(rec + 1 + 8 * k, 10.0 * r + k + (dp::item(header) == 1 ? 0.5 : 0.0));
            at = put(payload, size, at, rec, 49);
        }
        uint8_t half[20] = {3};
        at = put(payload, size, at, half, 20);
    } else if (dp::item(header) == 7) {
        uint8_t pressed = 1;
        at = put(payload, size, at, &pressed, 1);
    } else {
        // More values than a glove has: the library keeps 24.
        for (int i = 0; i < 30; ++i) {
            uint8_t d[8];
            RZ_PutDouble(d, 0.01 * i);
            at = put(payload, size, at, d, 8);
        }
    }
    return answer(header, 0, at);
}

int onCalibration(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    if (named(inst, "negative"))
        return answer(header, RZERR_DEVICE_NOT_READY, 0);
    if (named(inst, "trk")) {
        int at = 0;
        const uint8_t receivers[] = {0, 1, 7};
        for (uint8_t r : receivers) {
            uint8_t rec[25];
            rec[0] = r;
            for (int k = 0; k < 3; ++k)
                RZ_PutDouble(rec + 1 + 8 * k, r + 0.25 * (k + 1));
            at = put(payload, size, at, rec, 25);
        }
        return answer(header, 0, at);
    }
    int at = calibrationRecords(inst, payload, size);
    return answer(header, named(inst, "minus12") ? RZERR_INVALID_MESSAGE : 0, at);
}

int onLogged(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int) {
    logMessage(inst, header, payload);
    return answer(header, 0, 0);
}

int onWrite(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    if (!named(inst, "oversize"))
        return onLogged(inst, header, payload, size);
    constexpr int kClaimed = 64;
    std::memset(payload, 0xEE, static_cast<std::size_t>(size < kClaimed ? size : kClaimed));
    return answer(header, 0, kClaimed);
}

int onLog(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    PeerState* st = stateOf(inst);
    std::lock_guard<std::mutex> lock(st->mutex);
    int n = static_cast<int>(st->log.size());
    if (n > size)
        return answer(header, RZERR_BUFFER_TOO_SMALL, 0);
    std::memcpy(payload, st->log.data(), st->log.size());
    st->log.clear();
    return answer(header, 0, n);
}

int onRelease(RzInstance* inst, RzMessageHeader* header, uint8_t*, int) {
    return dp::handleRelease(inst, header, [](int r) { return r == 0 ? 0 : -1; });
}

RzInstance* rzdpNew(const char* name, const char*) {
    if (name == nullptr)
        return nullptr;
    char canonical[RZ_NAME_SIZE];
    int len = std::snprintf(canonical, sizeof canonical, "%s:device=devicepeer\n", name);
    if (len < 0 || len >= RZ_NAME_SIZE)
        return nullptr;
    std::lock_guard<std::mutex> guard(dp::creationMutex());
    if (RzInstance* inst = dp::share(canonical))
        return inst;
    RzInstance* inst = dp::create(canonical, sizeof(PeerState));
    if (inst == nullptr)
        return nullptr;
    auto* st = new (inst->priv) PeerState;
    std::snprintf(st->name, sizeof st->name, "%s", name);
    return inst;
}

int rzdpDestroy(RzInstance* inst) {
    int r = dp::beginRelease(inst);
    if (r != RZERR_NO_ERROR)
        return r;
    stateOf(inst)->~PeerState();
    dp::finishRelease(inst);
    return RZERR_NO_ERROR;
}

int rzdpMatchName(const char* name) {
    return RZ_GetStringIndex(name, kNames);
}

int rzdpAttach(RzInstance*, RzDataStream*) {
    return RZERR_MESSAGE_NOT_IMPLEMENTED;
}

int rzdpDetach(RzInstance*, RzDataStream*) {
    return RZERR_MESSAGE_NOT_IMPLEMENTED;
}

void installHandlers() {
    dp::setHandler(0, onHand);
    dp::setHandler(2, onRelease);
    dp::setHandler(10, onLogged);
    dp::setHandler(15, onRead);
    dp::setHandler(16, onWrite);
    dp::setHandler(19, onCalibration);
    dp::setHandler(20, onLogged);
    dp::setHandler(21, onLog);
}

const dp::Description kDescription = {
    kKind,         "devicepeer V1.00", rzdpNew,    rzdpDestroy,
    rzdpMatchName, rzdpAttach,         rzdpDetach, installHandlers,
};

}  // namespace

DP_PLUGIN_EXPORTS(kDescription)
