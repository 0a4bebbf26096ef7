// glove: the device-manager plug-in that drives the wired data glove behind its interface
// unit. The serial line is a linemux instance opened through the core; commands go out as
// message 16 to it, and the line's bytes come back through the input data stream, whose
// reader (the stream worker) decodes each NUL-framed record and publishes 24 joint values to
// every client stream.
//
// Threads:
// - control messages and RZDP_ entries: the core's threads (instance pinned by the frame);
// - the stream worker: linemux's watcher thread (synchronous stream deliveries);
// - the recovery thread (one per instance): runs the timed recovery after a silent line.
//   It exists so that the recovery's waiting commands can be answered: their replies are
//   decoded by the stream worker, which must therefore not be the thread that waits.
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/dpframe.hpp"
#include "glove/glovecodec.hpp"

namespace {

using namespace gloved;

const RzStringIndex kNames[] = {
    {0, "VexaGlove"}, {0, "glove"}, {0, "vglove"}, {0, "vg"}, {-1, nullptr}};

constexpr int kPollMs = 10;
constexpr int kDefaultPolls = 50;
constexpr int kIdentityWaitMs = 1000;
// A hostile payload of thousands of pairs would hold the handler (and the release waiting
// for it) for minutes: one message drives at most this many one-actuator commands.
constexpr int kMaxActuatorPairs = 64;

enum RecoveryKind : int { kRecoverNone = 0, kRecoverReboot = 1, kRecoverStream = 2 };

// Private state of one instance (service 1 block, constructed in place).
//
// Sharing: fields marked [data] are guarded by `data` (short sections, never held while a
// command is sent). `status` (with the awaiting bit) and `awaited` are atomics: the sending
// threads (control messages, initialisation, the recovery thread) set the awaiting bit and
// poll it, the stream worker clears it. `command` serialises whole commands (send and wait),
// so one awaited code is live at a time. The stream worker hands a recovery to the recovery
// thread through `recoveryRequest` (woken under `recoveryMutex`) and never waits itself.
struct GloveState {
    uint8_t enabledSensors = 0;     // [data] bits in the mask after initialisation
    uint8_t handFlag = 0;           // [data] 1 keeps computed signs, 0 mirrors them
    uint8_t actuatorsAllowed = 0;   // [data] set by every parameter reply
    uint16_t serialNumber = 0;      // [data] of the interface unit
    RzInstance* port = nullptr;     // linemux instance; fixed after creation
    RzDataStream* input = nullptr;  // fed by the port; fixed after creation
    RzList* clients = nullptr;      // client streams; walked under the list's own lock
    uint32_t mask = 0;              // [data] bit k: sensor k is sent
    std::atomic<uint8_t> status{0};
    std::atomic<uint8_t> awaited{0};
    uint8_t wrist = 0;  // [data]
    uint8_t light = 0;  // [data] sent back in the parameter command
    uint8_t flagA = 0, flagB = 0, flagC = 0, flagD = 0;  // [data]
    uint8_t receive[kRecordMax] = {};                    // stream worker only
    uint8_t publish[kSensors * 8] = {};                  // stream worker only
    uint8_t raw[kSensors] = {};                          // [data]
    double values[kSensors] = {};                        // [data] radians
    uint8_t reserved[6] = {};                            // [data]
    uint8_t readEnable[9] = {};                          // [data] items 0..8
    uint8_t commandEnable[3] = {};                       // [data] items 0..2
    uint8_t calibEnable[4] = {};                         // [data] items 1..3 (index 0 unused)
    Calibration cal{};                                   // [data]
    Thumb thumb{};                                       // [data]
    uint32_t records = 0;                                // stream worker only
    double reference = 0;  // seconds; stream worker only once the input stream is attached
    std::atomic<bool> newBatch{false};  // a batch arrived since the last six-actuator command

    std::mutex data;
    std::mutex command;

    RzThread* recovery = nullptr;
    std::mutex recoveryMutex;
    std::condition_variable recoveryWake;
    std::atomic<int> recoveryRequest{kRecoverNone};
    std::atomic<bool> stopping{false};
};

std::atomic<uint16_t> gSendCounter{0};

GloveState* stateOf(RzInstance* inst) {
    return static_cast<GloveState*>(inst->priv);
}

void resetEnableFlags_locked(GloveState* st) {
    std::fill(std::begin(st->readEnable), std::end(st->readEnable), 0);
    std::fill(std::begin(st->commandEnable), std::end(st->commandEnable), 0);
    std::fill(std::begin(st->calibEnable), std::end(st->calibEnable), 0);
    st->readEnable[2] = 1;
    st->commandEnable[1] = 1;
    st->calibEnable[1] = 1;
}

// Sets the mode bits (streaming or polled), keeping the awaiting bit and clearing an error.
void setMode(GloveState* st, uint8_t mode) {
    uint8_t s = st->status.load();
    uint8_t next;
    do {
        next = static_cast<uint8_t>((s & kStatusAwaiting) | mode);
    } while (!st->status.compare_exchange_weak(s, next));
}

bool canSend(uint8_t status) {
    return (status & (kStatusStreaming | kStatusPolled)) != 0;
}

// Sends one glove command as message 16 to the port. With `awaitReply`, waits (polling every
// 10 ms) until the stream worker has decoded the reply: 50 polls, or waitMs / 10.
// out_delivered (when given) tells whether the command reached the port, whatever the reply.
int sendCommand(RzInstance* inst, const uint8_t* bytes, int n, bool awaitReply, int waitMs = 0,
                bool* out_delivered = nullptr) {
    GloveState* st = stateOf(inst);
    if (out_delivered != nullptr) {
        *out_delivered = false;
    }
    const RzCoreServices* svc = dp::services();
    std::lock_guard<std::mutex> serial(st->command);
    if (!canSend(st->status.load()) || svc == nullptr || n <= 0 || n > 32) {
        return RZERR_DEVICE_NOT_READY;
    }
    RzMessageHeader header;
    RZ_MessagePrepare(&header, RZ_MSG_WRITE, 0, RZ_KIND_GLOVE, RZ_InstanceHandle(inst),
                      st->port->kind, RZ_InstanceHandle(st->port), ++gSendCounter, 1, n);
    if (dp::verbose(2)) {
        RZ_PrintBuffer(bytes, n, "[gloved] GloveSendCommand: -->");
    }
    if (awaitReply) {
        uint8_t code =
            (bytes[0] == '?' && n >= 2) ? static_cast<uint8_t>(bytes[1] | 0x80) : bytes[0];
        st->awaited.store(code);
        st->status.fetch_or(kStatusAwaiting);
    }
    uint8_t payload[32];
    std::memcpy(payload, bytes, static_cast<std::size_t>(n));
    if (svc->deliver(&header, payload, sizeof payload) != 0) {
        DP_LOG(0, "[gloved] Fail to send message to %d\n", st->port->kind);
        st->status.fetch_and(static_cast<uint8_t>(~kStatusAwaiting));
        return RZERR_MESSAGE_DELIVER_ERROR;
    }
    if (out_delivered != nullptr) {
        *out_delivered = true;
    }
    if (!awaitReply) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        return RZERR_NO_ERROR;
    }
    int polls = waitMs > 0 ? waitMs / kPollMs : kDefaultPolls;
    for (int i = 0; i <= polls; ++i) {
        if ((st->status.load() & kStatusAwaiting) == 0) {
            return RZERR_NO_ERROR;
        }
        if (i == polls || st->stopping.load()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    DP_LOG(0, "[gloved] GloveSendCommand: timeout before read reply\n");
    st->status.fetch_and(static_cast<uint8_t>(~kStatusAwaiting));
    return RZERR_DEVICE_NOT_READY;
}

int sendBytes(RzInstance* inst, std::initializer_list<uint8_t> bytes, bool awaitReply,
              int waitMs = 0) {
    std::vector<uint8_t> v(bytes);
    return sendCommand(inst, v.data(), static_cast<int>(v.size()), awaitReply, waitMs);
}

int sendSetParameters(RzInstance* inst) {
    GloveState* st = stateOf(inst);
    uint8_t cmd[4];
    {
        std::lock_guard<std::mutex> lock(st->data);
        setParametersCommand(st->wrist, st->light, st->flagA, st->flagB, st->flagC, st->flagD, cmd);
    }
    return sendCommand(inst, cmd, 4, true);
}

int sendSetMask(RzInstance* inst, bool* out_delivered = nullptr) {
    GloveState* st = stateOf(inst);
    uint8_t cmd[4];
    {
        std::lock_guard<std::mutex> lock(st->data);
        setMaskCommand(st->mask, cmd);
    }
    return sendCommand(inst, cmd, 4, true, 0, out_delivered);
}

// Calibration from the configuration (default table when it cannot be had), thumb geometry,
// base transform and the item enable flags.
void loadCalibration(RzInstance* inst) {
    GloveState* st = stateOf(inst);
    char port[RZ_NAME_SIZE];
    RZ_GetStringToken(inst->name, ":\n", port, sizeof port);
    int serial;
    bool hand;
    {
        std::lock_guard<std::mutex> lock(st->data);
        serial = st->serialNumber;
        hand = st->handFlag != 0;
    }
    char query[RZ_NAME_SIZE + 64];
    std::snprintf(query, sizeof query, "device=glove:item=offsetgain:id=%d:port=%s", serial, port);
    char answer[513] = {};
    const RzCoreServices* svc = dp::services();
    int r = (svc != nullptr && svc->query != nullptr) ? svc->query(query, answer, 512) : -1;
    answer[512] = '\0';
    Calibration cal;
    if (r >= 0 && parseCalibrationAnswer(answer, cal) == 2 * kSensors) {
        DP_LOG(1, "[gloved] calib for %d loaded.\n", serial);
    } else {
        DP_LOG(0, "[gloved] Calibration for KELB %d can not be retrieved. use the default\n",
               serial);
        defaultCalibration(cal);
    }
    Thumb thumb;
    resetThumb(thumb);
    deriveThumbBase(thumb, hand);
    std::lock_guard<std::mutex> lock(st->data);
    st->cal = cal;
    st->thumb = thumb;
    resetEnableFlags_locked(st);
}

// ------------------------------------------------------------------ decoding

void applyParams(GloveState* st, const Params& p) {
    DP_LOG(2, "[gloved] Glove params: %d %d %d\n", p.p0, p.p1, p.p2);
    if (!((p.p0 & 0x01) && (p.p1 & 0x80))) {
        st->status.store(kStatusError);
        DP_LOG(0, "[gloved] Glove KELB error or not plugged in.\n");
    }
    std::lock_guard<std::mutex> lock(st->data);
    st->light = (p.p0 >> 2) & 1;
    st->wrist = (p.p0 >> 1) & 1;
    st->flagA = (p.p1 >> 3) & 1;
    st->flagB = (p.p1 >> 2) & 1;
    st->flagC = (p.p1 >> 4) & 1;
    st->flagD = p.p1 & 1;
    st->handFlag = (p.p1 >> 6) & 1;
    st->actuatorsAllowed = 1;
}

// Decodes a sensor record; false when the record says the interface unit is not ready.
bool decodeSensors(GloveState* st, const uint8_t* rec, int len) {
    std::lock_guard<std::mutex> lock(st->data);
    SensorStatus s = decodeSensorRecord(rec, len, st->mask, st->raw);
    if (!s.complete) {
        DP_LOG(0, "[gloved] data record incomplete.\n");
        return true;
    }
    ++st->records;
    if (!s.ready) {
        DP_LOG(0, "[gloved] KELB error or not plugged in.\n");
    }
    if (s.wrist != (st->wrist != 0)) {
        st->wrist = s.wrist;
        DP_LOG(2, "[gloved] wrist switch %s\n", s.wrist ? "on" : "off");
    }
    st->light = s.light;
    computeJointValues(st->raw, st->cal, st->mask, st->handFlag != 0, st->thumb, st->values,
                       st->values);
    return s.ready;
}

// A sensor record sets its mode, or the error when the unit is not ready: never the mode
// first, which would let a command through between the two.
void applySensorRecord(GloveState* st, const uint8_t* rec, int len, uint8_t mode) {
    if (decodeSensors(st, rec, len)) {
        setMode(st, mode);
    } else {
        st->status.store(kStatusError);
    }
}

// One record from the stream. The awaiting bit is cleared after the record's effects are
// stored, so a command that sees its reply also sees what the reply set.
void decodeRecord(GloveState* st, const uint8_t* rec, int len) {
    if (len < 1) {
        return;
    }
    bool answers =
        (st->status.load() & kStatusAwaiting) != 0 && isAwaitedReply(rec, len, st->awaited.load());
    switch (rec[0]) {
        case kCmdAbort:
            setMode(st, kStatusPolled);
            DP_LOG(1, "[gloved] GloveUpdate: Operation aborted.\n");
            break;
        case kCmdReboot:
            setMode(st, kStatusPolled);
            DP_LOG(1, "[gloved] GloveUpdate: Rebooted. \n");
            break;
        case '?': {
            uint8_t what = len >= 2 ? rec[1] : 0;
            if (what == 'M') {
                uint32_t mask;
                if (parseMaskReply(rec, len, mask)) {
                    std::lock_guard<std::mutex> lock(st->data);
                    st->mask = mask;
                    DP_LOG(2, "[gloved] GloveUpdate: Mask %x\n", mask);
                }
            } else if (what == 'P' || what == 'p') {
                Params p;
                if (parseParamReply(rec, len, p)) {
                    applyParams(st, p);
                }
            } else if (what == 'i') {
                int sn;
                if (parseSerialNumber(rec, len, sn)) {
                    std::lock_guard<std::mutex> lock(st->data);
                    st->serialNumber = static_cast<uint16_t>(sn);
                } else {
                    st->status.store(kStatusError);
                    DP_LOG(0, "[gloved] glove is not plugged into the KELB.\n");
                }
            } else {
                DP_LOG(0, "[gloved] GloveUpdate:Unknown query: %c\n", what);
            }
            break;
        }
        case 'A':
        case 'M':
            break;
        case 'G':
            applySensorRecord(st, rec, len, kStatusPolled);
            break;
        case 'S':
            applySensorRecord(st, rec, len, kStatusStreaming);
            break;
        default:
            if (dp::verbose(2)) {
                RZ_PrintBuffer(rec, len, "[gloved] GloveUpdate? ---->");
            }
            break;
    }
    if (answers) {
        st->status.fetch_and(static_cast<uint8_t>(~kStatusAwaiting));
    }
}

int rzdpDetach(RzInstance* inst, RzDataStream* stream);

void publishValues(RzInstance* inst) {
    GloveState* st = stateOf(inst);
    {
        std::lock_guard<std::mutex> lock(st->data);
        for (int k = 0; k < kSensors; ++k) {
            RZ_PutDouble(st->publish + 8 * k, st->values[k]);
        }
    }
    std::vector<RzDataStream*> failed =
        dp::publish(st->clients, st->publish, static_cast<int>(sizeof st->publish));
    for (RzDataStream* stream : failed) {
        DP_LOG(0, "[gloved] GloveUpdateStream: stream %x update error, removed.\n",
               RZ_ListItemId(stream));
        rzdpDetach(inst, stream);
    }
}

void postRecovery(GloveState* st, int kind) {
    {
        std::lock_guard<std::mutex> lock(st->recoveryMutex);
        st->recoveryRequest.store(kind);
    }
    st->recoveryWake.notify_all();
}

int readRecords(RzInstance* inst, RzDataStream* stream) {
    GloveState* st = stateOf(inst);
    int count = 0;
    int result = RZERR_DATASTREAM_IN_PROGRESS;
    for (;;) {
        int len = RZ_DataStreamScan(stream, 0, 1000000);
        if (len < 1) {
            break;
        }
        if (len > kRecordMax) {
            DP_LOG(0, "[gloved] Input buffer too small %d < %d\n", kRecordMax, len);
            // Dropped whole, so the records behind it still come through.
            for (int left = len; left > 0;) {
                int r = RZ_DataStreamRead(stream, st->receive, std::min(left, kRecordMax));
                if (r < 1) {
                    return RZERR_GENERIC_ERROR;
                }
                left -= r;
            }
            result = RZERR_BUFFER_TOO_SMALL;
            continue;
        }
        int r = RZ_DataStreamRead(stream, st->receive, len);
        if (r < 1) {
            return RZERR_GENERIC_ERROR;
        }
        ++count;
        if (RZ_FpsUpdate(&inst->fps)) {
            DP_LOG(1, "[gloved] fps: %4.1f\n", inst->fps.rate);
        }
        // Every record is decoded in order: a reply that shares a batch with sensor records
        // must not be lost, and a later reply must not be overtaken by an earlier record.
        decodeRecord(st, st->receive, r);
    }
    if (count > 0) {
        publishValues(inst);
        st->newBatch.store(true);
    }
    return result;
}

// The input stream's reader: runs on the port's watcher thread.
int streamWorker(RzDataStream* stream, int reason) {
    auto* inst = static_cast<RzInstance*>(RZ_DataStreamUser(stream));
    if (inst == nullptr || inst->priv == nullptr) {
        return RZERR_INVALID_INSTANCE;
    }
    GloveState* st = stateOf(inst);
    switch (reason) {
        case RZ_STREAM_DATA:
            return readRecords(inst, stream);
        case 1:
            return 0;
        case RZ_STREAM_QUIT:
            DP_LOG(1, "[gloved] GloveWorker: linemux is going to quit...\n");
            return 0;
        case RZ_STREAM_FULL:
            DP_LOG(0, "[trackerd] GloveWorker: stream buffer full, purge it.\n");
            RZ_DataStreamPurge(stream);
            return 0;
        case RZERR_SERIAL_READ_TIMEOUT: {
            DP_LOG(0, "[gloved] GloveWorker: serial timeout\n");
            double now = RZ_GetCurrentTime();
            switch (recoveryAfterSilence(static_cast<long>((now - st->reference) * 1000.0))) {
                case Recovery::MoveReference:
                    st->reference = now;
                    break;
                case Recovery::Restream:
                    postRecovery(st, kRecoverStream);
                    break;
                case Recovery::Reboot:
                    postRecovery(st, kRecoverReboot);
                    break;
                case Recovery::None:
                    break;
            }
            return 0;
        }
        default:
            if (reason > 0) {
                DP_LOG(1, "[gloved] GloveWorker: stream reason %d\n", reason);
            } else if (dp::verbose(0)) {
                RZ_ErrorPrint(reason, "[gloved] GloveWorker");
            }
            return 0;
    }
}

// The timed recovery: the first command is not awaited (a rebooting unit answers late),
// the rest are, and their replies reach the stream worker meanwhile.
void runRecovery(RzInstance* inst, int kind) {
    sendBytes(inst, {kind == kRecoverStream ? uint8_t{'S'} : kCmdReboot}, false);
    sendBytes(inst, {'U', 0x01}, true);
    sendBytes(inst, {'?', 'p'}, true);
    sendSetMask(inst);
}

int recoveryMain(void* arg) {
    auto* inst = static_cast<RzInstance*>(arg);
    GloveState* st = stateOf(inst);
    for (;;) {
        int kind;
        {
            std::unique_lock<std::mutex> lock(st->recoveryMutex);
            st->recoveryWake.wait(lock, [st] {
                return st->stopping.load() || st->recoveryRequest.load() != kRecoverNone;
            });
            if (st->stopping.load()) {
                return 0;
            }
            kind = st->recoveryRequest.exchange(kRecoverNone);
        }
        runRecovery(inst, kind);
    }
}

// ------------------------------------------------------------------ lifecycle

int initialiseGlove(RzInstance* inst) {
    int r;
    if ((r = sendBytes(inst, {kCmdAbort}, true)) < 0)
        return r;
    if ((r = sendBytes(inst, {'U', 0x01}, true)) < 0)
        return r;
    if ((r = sendBytes(inst, {'?', 'p'}, true)) < 0)
        return r;
    if ((r = sendBytes(inst, {'?', 'i'}, true, kIdentityWaitMs)) < 0)
        return r;
    if ((r = sendBytes(inst, {'?', 'M'}, true)) < 0)
        return r;
    loadCalibration(inst);
    return sendBytes(inst, {'S'}, true);
}

// Stops everything the instance runs and frees what it owns, in an order where nothing is
// used after it is gone: the recovery thread (and its waiting command) first, then the port's
// watcher (detach), then the input stream (destroying it waits for a reason still being
// handled), then the client streams. The record itself is left to the caller.
void teardown(RzInstance* inst) {
    GloveState* st = stateOf(inst);
    const RzCoreServices* svc = dp::services();
    {
        std::lock_guard<std::mutex> lock(st->recoveryMutex);
        st->stopping.store(true);
    }
    st->recoveryWake.notify_all();
    // Never killed: a waiting command ends within its poll once `stopping` is seen.
    while (st->recovery != nullptr && RZ_AwaitThread(st->recovery, 1000) == RZERR_THREAD_TIMEOUT) {
        DP_LOG(1, "[gloved] Recovery thread still running, waiting.\n");
    }
    st->recovery = nullptr;
    if (st->port != nullptr && svc != nullptr) {
        if (st->input != nullptr) {
            svc->detach(st->port, st->input);
        }
        svc->close(st->port);
    }
    st->port = nullptr;
    if (st->input != nullptr) {
        RZ_DataStreamDestroy(st->input);
        st->input = nullptr;
    }
    if (st->clients != nullptr) {
        RZ_ListLock(st->clients);
        for (void* s = RZ_ListFirst(st->clients); s != nullptr; s = RZ_ListNext(st->clients, s)) {
            RZ_DataStreamAnnounce(static_cast<RzDataStream*>(s), RZ_STREAM_QUIT);
            RZ_DataStreamSetOwner(static_cast<RzDataStream*>(s), nullptr);
        }
        RZ_ListUnlock(st->clients);
        RZ_ListDestroy(st->clients);
        st->clients = nullptr;
    }
    st->~GloveState();
}

RzInstance* rzdpNew(const char* name, const char* settings) {
    int filter = 1;
    int mask = 0;
    RzKeyValue table[] = {
        {RZ_KV_BOOL, "filter", &filter, "on"},
        {RZ_KV_INT, "mask", &mask, "0x00ffffff"},
        {RZ_KV_END, nullptr, nullptr, nullptr},
    };
    const RzCoreServices* svc = dp::services();
    if (name == nullptr || svc == nullptr || !RZ_GetKeyValue(settings, table, 1)) {
        DP_LOG(0, "[gloved] New: Invalid device %s\n", settings ? settings : "(null)");
        RZ_SetLastError(RZERR_INVALID_URL);
        return nullptr;
    }
    std::string portText = std::string(name) + ":eventchar=on\ndevice=ioman\n";
    RzInstance* port = svc->open(portText.c_str());
    if (port == nullptr) {
        return nullptr;
    }
    std::string canonical = std::string(port->name) + ":eventchar=on\ndevice=ioman\n";

    std::lock_guard<std::mutex> guard(dp::creationMutex());
    if (RzInstance* inst = dp::share(canonical.c_str())) {
        DP_LOG(2, "[gloved] New: the request instance has already been created.\n");
        svc->close(port);
        return inst;
    }
    if (dp::clients(port).load() >= 2) {
        DP_LOG(2, "[gloved] New: The port requested is already openned by other devices.\n");
        svc->close(port);
        RZ_SetLastError(RZERR_DEVICE_IN_USE);
        return nullptr;
    }
    RzInstance* inst = dp::create(canonical.c_str(), sizeof(GloveState));
    if (inst == nullptr) {
        svc->close(port);
        return nullptr;
    }
    auto* st = new (inst->priv) GloveState;
    st->port = port;
    RZ_FpsInit(&inst->fps, 0.0);
    st->reference = RZ_GetCurrentTime();
    st->status.store(kStatusPolled);
    {
        std::lock_guard<std::mutex> lock(st->data);
        st->mask = static_cast<uint32_t>(mask) & 0x00ffffffu;
        defaultCalibration(st->cal);
        resetThumb(st->thumb);
        resetEnableFlags_locked(st);
    }
    st->clients = RZ_ListNew();
    st->input = RZ_DataStreamNew(kRecordMax, streamWorker, inst);
    int r = RZERR_OUT_OF_MEMORY;
    if (st->clients != nullptr && st->input != nullptr) {
        st->recovery = RZ_CreateThread(recoveryMain, inst);
        r = st->recovery != nullptr ? svc->attach(port, st->input) : RZERR_THREAD_TOO_MANY;
        if (r != 0) {
            // Never attached: the teardown must not detach it.
            RzDataStream* input = st->input;
            st->input = nullptr;
            RZ_DataStreamDestroy(input);
        } else {
            r = initialiseGlove(inst);
        }
    }
    if (r != RZERR_NO_ERROR) {
        DP_LOG(0, "[gloved] New: initialisation of %s failed (%d)\n", name, r);
        dp::beginRelease(inst);
        teardown(inst);
        dp::finishRelease(inst);
        RZ_SetLastError(r < 0 ? r : RZERR_DEVICE_NOT_READY);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(st->data);
        st->enabledSensors = static_cast<uint8_t>(std::popcount(st->mask));
    }
    return inst;
}

int rzdpDestroy(RzInstance* inst) {
    int r = dp::beginRelease(inst);
    if (r == RZERR_INSTANCE_SHARED_BY_OTHERS) {
        DP_LOG(2, "[gloved] Destroy: %d clients share the instance.\n", dp::clients(inst).load());
        return r;
    }
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    teardown(inst);
    dp::finishRelease(inst);
    return RZERR_NO_ERROR;
}

int rzdpMatchName(const char* name) {
    return RZ_GetStringIndex(name, kNames);
}

int rzdpAttach(RzInstance* inst, RzDataStream* stream) {
    dp::Pin pin(inst);
    if (!pin) {
        DP_LOG(0, "[gloved] AttachDataStream: invalid instance %x\n",
               inst ? RZ_ListItemId(inst) : 0u);
        return RZERR_INVALID_INSTANCE;
    }
    if (!RZ_DataStreamIsValid(stream)) {
        return RZERR_INVALID_DATASTREAM;
    }
    GloveState* st = stateOf(inst);
    int r = RZ_ListAddItem(st->clients, stream);
    if (r != RZERR_NO_ERROR) {
        return r == RZERR_DEVICE_IN_USE ? r : RZERR_INVALID_DATASTREAM;
    }
    RZ_DataStreamSetOwner(stream, inst);
    DP_LOG(1, "[gloved] AttachDataStream: %x attached,%d streams.\n", RZ_ListItemId(stream),
           RZ_ListCount(st->clients));
    return RZERR_NO_ERROR;
}

int rzdpDetach(RzInstance* inst, RzDataStream* stream) {
    dp::Pin pin(inst);
    if (!pin) {
        DP_LOG(0, "[gloved] DetachDataStream: invalid instance.\n");
        return RZERR_INVALID_INSTANCE;
    }
    GloveState* st = stateOf(inst);
    if (!RZ_DataStreamIsValid(stream) || !RZ_ListItemIsOfList(st->clients, stream)) {
        DP_LOG(0, "[gloved] DetachDataStream: invalid data stream.\n");
        return RZERR_INVALID_DATASTREAM;
    }
    RZ_DataStreamAnnounce(stream, RZ_STREAM_QUIT);
    RZ_ListDeleteItem(st->clients, stream);
    RZ_DataStreamSetOwner(stream, nullptr);
    DP_LOG(1, "[gloved] DetachDataStream: %x detached, %d streams.\n", RZ_ListItemId(stream),
           RZ_ListCount(st->clients));
    return RZERR_NO_ERROR;
}

// ------------------------------------------------------------------ control messages

int answer(RzMessageHeader* header, int result, int length = 0) {
    dp::reply(header, result, length);
    return result;
}

// Copies a reply payload when it fits the caller's buffer; -4 otherwise.
int answerWith(RzMessageHeader* header, uint8_t* payload, int size, const std::string& bytes) {
    if (bytes.size() > static_cast<std::size_t>(size)) {
        return answer(header, RZERR_BUFFER_TOO_SMALL);
    }
    if (!bytes.empty()) {
        std::memcpy(payload, bytes.data(), bytes.size());
    }
    return answer(header, RZERR_NO_ERROR, static_cast<int>(bytes.size()));
}

int onInfo(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    GloveState* st = stateOf(inst);
    std::string out(3, '\0');
    {
        std::lock_guard<std::mutex> lock(st->data);
        out[0] = static_cast<char>(st->handFlag);
        out[1] = static_cast<char>(st->actuatorsAllowed);
        out[2] = static_cast<char>(st->wrist);
    }
    return answerWith(header, payload, size, out);
}

int onRelease(RzInstance* inst, RzMessageHeader* header, uint8_t*, int) {
    return dp::handleRelease(inst, header, [](int r) {
        return (r == RZERR_NO_ERROR || r == RZERR_INSTANCE_SHARED_BY_OTHERS) ? 0 : r;
    });
}

int onReload(RzInstance* inst, RzMessageHeader* header, uint8_t*, int) {
    loadCalibration(inst);
    return answer(header, RZERR_NO_ERROR);
}

int onReadSetting(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    GloveState* st = stateOf(inst);
    int item = dp::item(header);
    if (item == 0) {
        int flagC;
        {
            std::lock_guard<std::mutex> lock(st->data);
            flagC = st->flagC;
        }
        return answer(header, flagC);
    }
    if (item == 1) {
        std::string out(4, '\0');
        {
            std::lock_guard<std::mutex> lock(st->data);
            dp::putBe32(reinterpret_cast<uint8_t*>(out.data()), st->mask);
        }
        return answerWith(header, payload, size, out);
    }
    return RZERR_MESSAGE_INVALID_KEY;  // no reply
}

int onWriteSetting(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int) {
    GloveState* st = stateOf(inst);
    int item = dp::item(header);
    if (item == 0) {
        {
            std::lock_guard<std::mutex> lock(st->data);
            st->flagC = 0;
        }
        return answer(header, sendSetParameters(inst));
    }
    if (item == 1) {
        if (dp::payloadLength(header) != 4) {
            return answer(header, RZERR_MESSAGE_INVALID_BODY);
        }
        const uint32_t mask = dp::getBe32(payload) & 0x00ffffffu;
        uint32_t previous;
        {
            std::lock_guard<std::mutex> lock(st->data);
            previous = st->mask;
            st->mask = mask;
        }
        bool delivered = false;
        int r = sendSetMask(inst, &delivered);
        if (!delivered) {
            // The unit never saw it and keeps sending the old mask's records, which the new
            // mask would drop as incomplete. A mask that was sent stays, even without a
            // reply: a slow unit still applies it.
            std::lock_guard<std::mutex> lock(st->data);
            if (st->mask == mask) {
                st->mask = previous;
            }
        }
        return answer(header, r);
    }
    return answer(header, RZERR_MESSAGE_INVALID_KEY);
}

int onUnsupported(RzInstance*, RzMessageHeader* header, uint8_t*, int) {
    return answer(header, RZERR_GENERIC_ERROR);
}

// Data must flow before anything is read: a polled glove is asked for one record, then
// set streaming.
int ensureFlowing(RzInstance* inst) {
    GloveState* st = stateOf(inst);
    uint8_t s = st->status.load();
    if (s & kStatusPolled) {
        if (sendBytes(inst, {'G'}, true) < 0) {
            return RZERR_DEVICE_NOT_READY;
        }
        sendBytes(inst, {'S'}, true);
        return RZERR_NO_ERROR;
    }
    return (s & kStatusStreaming) ? RZERR_NO_ERROR : RZERR_DEVICE_NOT_READY;
}

int onRead(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    GloveState* st = stateOf(inst);
    int item = dp::item(header);
    bool text = dp::textForm(header);
    if (item >= 9) {
        dp::lastResult(inst).store(RZERR_MESSAGE_INVALID_KEY);
        return answer(header, RZERR_GENERIC_ERROR);
    }
    if (ensureFlowing(inst) < 0) {
        return answer(header, RZERR_DEVICE_NOT_READY);
    }
    ReadSnapshot snap;
    uint8_t enable[9];
    {
        std::lock_guard<std::mutex> lock(st->data);
        std::copy(std::begin(st->raw), std::end(st->raw), snap.raw);
        std::copy(std::begin(st->values), std::end(st->values), snap.values);
        snap.wrist = st->wrist;
        std::copy(std::begin(st->reserved), std::end(st->reserved), snap.reserved);
        std::copy(std::begin(st->readEnable), std::end(st->readEnable), enable);
    }
    std::string out;
    if (item == 0) {
        for (int i = 1; i <= 8; ++i) {
            if (enable[i]) {
                appendReadItem(i, text, snap, out);
            }
        }
    } else {
        appendReadItem(item, text, snap, out);
    }
    return answerWith(header, payload, size, out);
}

int driveActuators(RzInstance* inst, RzMessageHeader* header, const uint8_t* payload) {
    GloveState* st = stateOf(inst);
    int len = dp::payloadLength(header);
    uint8_t pairs[2 * kMaxActuatorPairs];
    int count;
    bool six = false;
    if (dp::textForm(header)) {
        count = parseActuatorText(payload, len, pairs, kMaxActuatorPairs);
        if (count < 0) {
            return answer(header, RZERR_MESSAGE_INVALID_BODY);
        }
    } else {
        if (len % 2 != 0 || len / 2 > kMaxActuatorPairs) {
            return answer(header, RZERR_MESSAGE_INVALID_BODY);
        }
        count = len / 2;
        six = len == 12;
        if (len > 0) {  // an empty message may come without a buffer at all
            std::memcpy(pairs, payload, static_cast<std::size_t>(len));
        }
    }
    bool allowed;
    {
        std::lock_guard<std::mutex> lock(st->data);
        allowed = st->actuatorsAllowed != 0;
    }
    if (!allowed || !canSend(st->status.load())) {
        return answer(header, RZERR_NO_ERROR);
    }
    if (six) {
        // At most one six-actuator command per batch of glove records.
        if (st->newBatch.exchange(false)) {
            uint8_t cmd[14] = {'A', 6};
            std::memcpy(cmd + 2, pairs, 12);
            sendCommand(inst, cmd, sizeof cmd, false);
        }
        return answer(header, RZERR_NO_ERROR);
    }
    for (int i = 0; i < count; ++i) {
        uint8_t cmd[4] = {'A', 1, pairs[2 * i], pairs[2 * i + 1]};
        sendCommand(inst, cmd, sizeof cmd, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return answer(header, RZERR_NO_ERROR);
}

int onCommand(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int) {
    GloveState* st = stateOf(inst);
    int item = dp::item(header);
    if (item == 0) {
        std::lock_guard<std::mutex> lock(st->data);
        item = st->commandEnable[1] ? 1 : (st->commandEnable[2] ? 2 : -1);
    }
    switch (item) {
        case -1:
            return answer(header, RZERR_GENERIC_ERROR);
        case 1:
            return driveActuators(inst, header, payload);
        case 2:
            if (dp::payloadLength(header) != 1) {
                return answer(header, RZERR_MESSAGE_INVALID_BODY);
            }
            {
                std::lock_guard<std::mutex> lock(st->data);
                st->light = payload[0];
            }
            sendSetParameters(inst);
            return answer(header, RZERR_NO_ERROR);
        default:
            return answer(header, RZERR_MESSAGE_INVALID_KEY);
    }
}

int calibrationItem(GloveState* st, int item) {
    if (item != 0) {
        return item;
    }
    std::lock_guard<std::mutex> lock(st->data);
    for (int i = 1; i <= 3; ++i) {
        if (st->calibEnable[i]) {
            return i;
        }
    }
    return -1;
}

int onReadCalibration(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    GloveState* st = stateOf(inst);
    int item = calibrationItem(st, dp::item(header));
    if (item == -1) {
        return answer(header, RZERR_GENERIC_ERROR);
    }
    if (item == 1) {
        Calibration cal;
        {
            std::lock_guard<std::mutex> lock(st->data);
            cal = st->cal;
        }
        return answerWith(header, payload, size,
                          dp::textForm(header) ? calibrationText(cal) : calibrationBinary(cal));
    }
    if (item <= 3) {
        return answer(header, RZERR_NO_ERROR);
    }
    return answer(header, RZERR_MESSAGE_INVALID_KEY);
}

int onWriteCalibration(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int) {
    GloveState* st = stateOf(inst);
    int item = calibrationItem(st, dp::item(header));
    if (item == -1) {
        return answer(header, RZERR_GENERIC_ERROR);
    }
    if (item == 1) {
        int len = dp::payloadLength(header);
        int r;
        {
            std::lock_guard<std::mutex> lock(st->data);
            r = dp::textForm(header) ? applyCalibrationText(payload, len, st->cal)
                                     : applyCalibrationBinary(payload, len, st->cal);
        }
        return answer(header, r);
    }
    if (item <= 3) {
        return answer(header, RZERR_NO_ERROR);
    }
    return answer(header, RZERR_MESSAGE_INVALID_KEY);
}

void installHandlers() {
    dp::setHandler(RZ_MSG_INFO, onInfo);
    dp::setHandler(RZ_MSG_RELEASE, onRelease);
    dp::setHandler(RZ_MSG_RELOAD, onReload);
    dp::setHandler(RZ_MSG_LAST_RESULT, dp::handleLastResult);
    dp::setHandler(RZ_MSG_READ_SETTING, onReadSetting);
    dp::setHandler(RZ_MSG_WRITE_SETTING, onWriteSetting);
    for (int m : {RZ_MSG_RESERVED_11, RZ_MSG_RESERVED_12, RZ_MSG_RESERVED_13, RZ_MSG_RESERVED_14,
                  RZ_MSG_RESERVED_23, RZ_MSG_RESERVED_24}) {
        dp::setHandler(m, onUnsupported);
    }
    dp::setHandler(RZ_MSG_READ, onRead);
    dp::setHandler(RZ_MSG_WRITE, onCommand);
    dp::setHandler(RZ_MSG_READ_CALIBRATION, onReadCalibration);
    dp::setHandler(RZ_MSG_WRITE_CALIBRATION, onWriteCalibration);
}

const dp::Description kDescription = {
    RZ_KIND_GLOVE, "Glove V1.00", rzdpNew,    rzdpDestroy,
    rzdpMatchName, rzdpAttach,    rzdpDetach, installHandlers,
};

}  // namespace

DP_PLUGIN_EXPORTS(kDescription)
