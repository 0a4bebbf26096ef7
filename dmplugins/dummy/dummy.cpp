// dummy: a device-manager plug-in that needs no hardware. Each instance produces sine-wave
// channels on its own worker thread, writes every sample set to its client streams and
// answers message 15 with the current values. Replaying a take it also answers what a client
// asks of the wired glove (hand, read items, calibration), so a glove client runs on the take.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <numbers>
#include <string>
#include <vector>

#include "common/dpframe.hpp"
#include "take.hpp"

namespace {

constexpr int kMaxChannels = 24;
// Pause between passes: the worker would otherwise spin a core and fill every client
// stream as fast as the writes go.
constexpr auto kPassPause = std::chrono::milliseconds(1);

const RzStringIndex kNames[] = {{0, "dummy"}, {0, "vexadummy"}, {-1, nullptr}};

struct Channel {
    double start = 0;  // seconds
    double frequency = 0;
    double upper = 0;
    double lower = 0;
    std::atomic<double> value{0};  // read by message 15 on the core's threads
};

struct DummyState {
    RzList* streams = nullptr;  // client streams; walked under its lock
    RzThread* worker = nullptr;
    std::atomic<bool> running{false};
    int count = 0;
    std::chrono::duration<double> period{0};  // between sample sets; 0: every pass
    Channel channels[kMaxChannels];
    uint8_t output[kMaxChannels * 8] = {};
    std::mutex wakeMutex;  // pacing wait, cut short by the stop
    std::condition_variable wake;
    // Replay of a take: the frames' joint values and their times from the first frame.
    std::vector<std::array<double, take::kValues>> takeValues;
    std::vector<double> takeTimes;  // seconds
    double takePeriod = 0;          // seconds
    bool loop = false;
    bool rightHand = true;
};

// A step longer than this in a take (a glove clock set back or far ahead) replays as one period.
constexpr double kMaxTakeStep = 60.0;

// The value of `key` in a device text ("key=value" pairs separated by ':' or newline); empty
// when absent. RZ_GetKeyValue has no text type, and a take's path is text.
std::string settingText(const char* settings, const char* key) {
    std::string text = settings ? settings : "";
    const std::string prefix = std::string(key) + "=";
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find_first_of(":\n", at);
        std::string token = text.substr(at, end == std::string::npos ? end : end - at);
        std::size_t first = token.find_first_not_of(" \t");
        if (first != std::string::npos && token.compare(first, prefix.size(), prefix) == 0) {
            std::string value = token.substr(first + prefix.size());
            value.erase(value.find_last_not_of(" \t\r") + 1);
            return value;
        }
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return {};
}

// Loads the take into the state; false with the reason logged for a file that is no take.
bool loadTake(DummyState* st, const std::string& path) {
    try {
        take::Take t = take::readTakeFile(path);
        if (t.frames.empty())
            throw take::TakeError(path + ": the take holds no frames");
        const double first = t.frames.front().gloveSeconds;
        double at = 0;
        double previous = first;
        for (const take::Frame& f : t.frames) {
            double step = f.gloveSeconds - previous;
            if (step < -43200.0)
                step += 86400.0;
            if (step < 0 || step > kMaxTakeStep)
                step = t.period;
            at += &f == &t.frames.front() ? 0.0 : step;
            previous = f.gloveSeconds;
            st->takeTimes.push_back(at);
            st->takeValues.push_back(f.angles);
        }
        st->takePeriod = t.period;
        st->rightHand = t.rightHand;
        return true;
    } catch (const std::exception& e) {
        DP_LOG(0, "[dummy] New: %s\n", e.what());
        return false;
    }
}

DummyState* stateOf(RzInstance* inst) {
    return static_cast<DummyState*>(inst->priv);
}

// Centred on (upper + lower) / 2 so a channel stays within [lower, upper] whatever the bounds.
double channelValue(const Channel& c, int i, int n, double now) {
    double phase =
        2.0 * std::numbers::pi * c.frequency * ((now - c.start) + i * 2.0 * std::numbers::pi / n);
    return (c.upper + c.lower) / 2.0 + std::sin(phase) * (c.upper - c.lower) / 2.0;
}

int rzdpDetach(RzInstance* inst, RzDataStream* stream);

void publish(RzInstance* inst, DummyState* st) {
    for (RzDataStream* stream : dp::publish(st->streams, st->output, 8 * st->count)) {
        DP_LOG(0, "[dummy]: stream %x removed\n", RZ_ListItemId(stream));
        rzdpDetach(inst, stream);
    }
}

// Plays the take frame by frame against the clock, from its start again when looping; after
// the last frame (not looping) the last values stay readable and nothing more is written.
void replay(RzInstance* inst, DummyState* st) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    std::size_t next = 0;
    while (st->running.load()) {
        if (next == st->takeValues.size()) {
            if (!st->loop)
                break;
            // The take starts over one period after its last frame.
            start += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(st->takeTimes.back() + st->takePeriod));
            next = 0;
        }
        auto due = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(st->takeTimes[next]));
        {
            std::unique_lock<std::mutex> lock(st->wakeMutex);
            if (st->wake.wait_until(lock, due, [st] { return !st->running.load(); }))
                return;
        }
        for (int i = 0; i < st->count; ++i) {
            double v = st->takeValues[next][static_cast<std::size_t>(i)];
            st->channels[i].value.store(v);
            RZ_PutDouble(st->output + 8 * i, v);
        }
        publish(inst, st);
        ++next;
    }
    std::unique_lock<std::mutex> lock(st->wakeMutex);
    st->wake.wait(lock, [st] { return !st->running.load(); });
}

int workerMain(void* arg) {
    auto* inst = static_cast<RzInstance*>(arg);
    DummyState* st = stateOf(inst);
    DP_LOG(2, "\n[dummy] start...\n");
    if (!st->takeValues.empty()) {
        replay(inst, st);
        DP_LOG(2, "[dummy] end...\n");
        return 0;
    }
    while (st->running.load()) {
        double now = RZ_GetCurrentTime();
        for (int i = 0; i < st->count; ++i) {
            double v = channelValue(st->channels[i], i, st->count, now);
            st->channels[i].value.store(v);
            RZ_PutDouble(st->output + 8 * i, v);
        }
        publish(inst, st);
        std::unique_lock<std::mutex> lock(st->wakeMutex);
        st->wake.wait_for(lock, st->period.count() > 0 ? st->period : kPassPause,
                          [st] { return !st->running.load(); });
    }
    DP_LOG(2, "[dummy] end...\n");
    return 0;
}

RzInstance* rzdpNew(const char* name, const char* settings) {
    double upper = 0, lower = 0, freq = 0, rate = 0;
    int nsensors = 0, loop = 0;
    RzKeyValue table[] = {
        {RZ_KV_DOUBLE, "upper", &upper, "1."},  {RZ_KV_DOUBLE, "lower", &lower, "-1."},
        {RZ_KV_DOUBLE, "freq", &freq, "10."},   {RZ_KV_INT, "nsensors", &nsensors, "2"},
        {RZ_KV_DOUBLE, "rate", &rate, "0"},     {RZ_KV_BOOL, "loop", &loop, "0"},
        {RZ_KV_END, nullptr, nullptr, nullptr},
    };
    if (name == nullptr || !RZ_GetKeyValue(settings, table, 1)) {
        DP_LOG(0, "[dummy] New: Invalid device %s\n", settings ? settings : "(null)");
        RZ_SetLastError(RZERR_INVALID_URL);
        return nullptr;
    }
    nsensors = std::clamp(nsensors, 0, kMaxChannels);

    const std::string takePath = settingText(settings, "take");
    char canonical[RZ_NAME_SIZE + 32];
    // A replay is its own instance per take and looping.
    int len = takePath.empty()
                  ? std::snprintf(canonical, sizeof(canonical), "%s:device=dummy\n", name)
                  : std::snprintf(canonical, sizeof(canonical), "%s:device=dummy:take=%s:loop=%d\n",
                                  name, takePath.c_str(), loop);
    if (len < 0 || len >= RZ_NAME_SIZE) {
        DP_LOG(0, "[dummy] New: name too long: %s\n", name);
        RZ_SetLastError(RZERR_INVALID_PARAM);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(dp::creationMutex());
    if (RzInstance* inst = dp::share(canonical)) {
        DP_LOG(2, "[dummyd] The request instance has already been created.\n");
        return inst;
    }
    RzInstance* inst = dp::create(canonical, sizeof(DummyState));
    if (inst == nullptr) {
        return nullptr;
    }
    auto* st = new (inst->priv) DummyState;
    if (!takePath.empty()) {
        if (!loadTake(st, takePath)) {
            st->~DummyState();
            dp::discard(inst);
            RZ_SetLastError(RZERR_FILE_INVALID_CONTENT);
            return nullptr;
        }
        // A take carries the glove driver's record: 24 joint values.
        nsensors = take::kValues;
        st->loop = loop != 0;
    }
    st->count = nsensors;
    // Sample sets per second; 0 (or nonsense) keeps the fastest pace.
    if (rate > 0 && rate <= 100000) {
        st->period = std::chrono::duration<double>(1.0 / rate);
    }
    double now = RZ_GetCurrentTime();
    for (int i = 0; i < nsensors; ++i) {
        Channel& c = st->channels[i];
        c.start = now;
        c.frequency = freq;
        c.upper = upper;
        c.lower = lower;
        c.value.store(st->takeValues.empty() ? channelValue(c, i, nsensors, now)
                                             : st->takeValues.front()[static_cast<std::size_t>(i)]);
    }
    st->streams = RZ_ListNew();
    if (st->streams == nullptr) {
        st->~DummyState();
        dp::discard(inst);
        RZ_SetLastError(RZERR_OUT_OF_MEMORY);
        return nullptr;
    }
    st->running.store(true);
    st->worker = RZ_CreateThread(workerMain, inst);
    if (st->worker == nullptr) {
        st->running.store(false);
        RZ_ListDestroy(st->streams);
        st->~DummyState();
        dp::discard(inst);
        RZ_SetLastError(RZERR_THREAD_TOO_MANY);
        return nullptr;
    }
    return inst;
}

int rzdpDestroy(RzInstance* inst) {
    int r = dp::beginRelease(inst);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    DummyState* st = stateOf(inst);
    {
        std::lock_guard<std::mutex> lock(st->wakeMutex);
        st->running.store(false);
    }
    st->wake.notify_all();
    // Never killed: the worker is woken and awaited for as long as it takes.
    while (RZ_AwaitThread(st->worker, 1000) == RZERR_THREAD_TIMEOUT) {
        DP_LOG(1, "[dummyd] Thread still running, waiting.\n");
    }
    st->worker = nullptr;
    DP_LOG(1, "[dummyd] Thread exited.\n");
    // Streams still attached learn that the device is gone.
    RZ_ListLock(st->streams);
    for (void* s = RZ_ListFirst(st->streams); s != nullptr; s = RZ_ListNext(st->streams, s)) {
        RZ_DataStreamAnnounce(static_cast<RzDataStream*>(s), RZ_STREAM_QUIT);
        RZ_DataStreamSetOwner(static_cast<RzDataStream*>(s), nullptr);
    }
    RZ_ListUnlock(st->streams);
    RZ_ListDestroy(st->streams);
    st->~DummyState();
    dp::finishRelease(inst);
    return RZERR_NO_ERROR;
}

int rzdpMatchName(const char* name) {
    return RZ_GetStringIndex(name, kNames);
}

int rzdpAttach(RzInstance* inst, RzDataStream* stream) {
    dp::Pin pin(inst);
    if (!pin) {
        return RZERR_INVALID_INSTANCE;
    }
    if (!RZ_DataStreamIsValid(stream)) {
        return RZERR_INVALID_DATASTREAM;
    }
    int r = RZ_ListAddItem(stateOf(inst)->streams, stream);
    if (r != RZERR_NO_ERROR) {
        return r == RZERR_DEVICE_IN_USE ? r : RZERR_INVALID_DATASTREAM;
    }
    RZ_DataStreamSetOwner(stream, inst);
    return RZERR_NO_ERROR;
}

int rzdpDetach(RzInstance* inst, RzDataStream* stream) {
    dp::Pin pin(inst);
    if (!pin) {
        DP_LOG(0, "[dummy] RZDP_DetachDataStream: invalid instance.\n");
        return RZERR_INVALID_INSTANCE;
    }
    DummyState* st = stateOf(inst);
    if (!RZ_DataStreamIsValid(stream) || !RZ_ListItemIsOfList(st->streams, stream)) {
        DP_LOG(0, "[dummy] RZDP_DetachDataStream: invalid data stream.\n");
        return RZERR_INVALID_DATASTREAM;
    }
    RZ_DataStreamAnnounce(stream, RZ_STREAM_QUIT);
    RZ_ListDeleteItem(st->streams, stream);
    RZ_DataStreamSetOwner(stream, nullptr);
    return RZERR_NO_ERROR;
}

int onRelease(RzInstance* inst, RzMessageHeader* header, uint8_t*, int) {
    return dp::handleRelease(inst, header, [](int r) { return r == 0 ? 0 : -1; });
}

bool replaying(const DummyState* st) {
    return !st->takeValues.empty();
}

int answer(RzMessageHeader* header, int result, int length = 0) {
    dp::reply(header, result, length);
    return result;
}

// Copies a reply payload when it fits the caller's buffer; -4 otherwise.
int answerWith(RzMessageHeader* header, uint8_t* payload, int size, const std::string& bytes) {
    if (bytes.size() > static_cast<std::size_t>(size)) {
        return answer(header, RZERR_BUFFER_TOO_SMALL);
    }
    std::memcpy(payload, bytes.data(), bytes.size());
    return answer(header, RZERR_NO_ERROR, static_cast<int>(bytes.size()));
}

std::string currentValues(const DummyState* st, bool text) {
    std::string out;
    char field[64];
    for (int i = 0; i < st->count; ++i) {
        double v = st->channels[i].value.load();
        if (text) {
            out.append(field,
                       static_cast<std::size_t>(std::snprintf(field, sizeof field, "%10f\n", v)));
        } else {
            RZ_PutDouble(reinterpret_cast<uint8_t*>(field), v);
            out.append(field, 8);
        }
    }
    if (text) {
        out.push_back('\0');
    }
    return out;
}

// Read items as the glove numbers them: 0 and 2 the joint values, 3 to 6 empty, 7 the wrist
// switch (a take records none: off). Raw sensor bytes (1) and the reserved bytes (8) are not
// in a take. The sine channels answer every item with their values.
int onRead(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    DummyState* st = stateOf(inst);
    int item = dp::item(header);
    if (!replaying(st) || item == 0 || item == 2) {
        return answerWith(header, payload, size,
                          currentValues(st, replaying(st) && dp::textForm(header)));
    }
    if (item >= 3 && item <= 6) {
        return answer(header, RZERR_NO_ERROR);
    }
    if (item == 7) {
        return answerWith(header, payload, size, std::string(1, '\0'));
    }
    return answer(header, RZERR_MESSAGE_INVALID_KEY);
}

// Hand flag (1 right), actuators allowed (a take drives none), wrist switch.
int onInfo(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    DummyState* st = stateOf(inst);
    if (!replaying(st)) {
        return answer(header, RZERR_MESSAGE_NOT_IMPLEMENTED);
    }
    std::string out(3, '\0');
    out[0] = static_cast<char>(st->rightHand ? 1 : 0);
    return answerWith(header, payload, size, out);
}

// A take holds joint values already calibrated, so its calibration is the neutral one (offset
// 0, gain 1 for every sensor) in the glove's records: finger, joint, kind, value.
int onReadCalibration(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    if (!replaying(stateOf(inst))) {
        return answer(header, RZERR_MESSAGE_NOT_IMPLEMENTED);
    }
    int item = dp::item(header);
    if (item == 2 || item == 3) {
        return answer(header, RZERR_NO_ERROR);
    }
    if (item > 3) {
        return answer(header, RZERR_MESSAGE_INVALID_KEY);
    }
    const bool text = dp::textForm(header);
    std::string out;
    char record[64];
    for (int g = 0; g < 6; ++g) {
        for (int i = 0; i < 4; ++i) {
            for (int w = 0; w < 2; ++w) {
                double value = w == 0 ? 0.0 : 1.0;
                if (text) {
                    int n = std::snprintf(record, sizeof record, "%1d%1d%1d%f\n", g, i, w, value);
                    out.append(record, static_cast<std::size_t>(n));
                } else {
                    const char head[3] = {static_cast<char>(g), static_cast<char>(i),
                                          static_cast<char>(w)};
                    out.append(head, 3);
                    RZ_PutDouble(reinterpret_cast<uint8_t*>(record), value);
                    out.append(record, 8);
                }
            }
        }
    }
    return answerWith(header, payload, size, out);
}

// A calibration written to a replay cannot change the recorded angles: taken and dropped.
int onWriteCalibration(RzInstance* inst, RzMessageHeader* header, uint8_t*, int) {
    if (!replaying(stateOf(inst))) {
        return answer(header, RZERR_MESSAGE_NOT_IMPLEMENTED);
    }
    return answer(header, dp::item(header) <= 3 ? RZERR_NO_ERROR : RZERR_MESSAGE_INVALID_KEY);
}

void installHandlers() {
    dp::setHandler(RZ_MSG_RELEASE, onRelease);
    dp::setHandler(RZ_MSG_READ, onRead);
    dp::setHandler(RZ_MSG_INFO, onInfo);
    dp::setHandler(RZ_MSG_READ_CALIBRATION, onReadCalibration);
    dp::setHandler(RZ_MSG_WRITE_CALIBRATION, onWriteCalibration);
}

const dp::Description kDescription = {
    RZ_KIND_DUMMY, "dummy V1.00", rzdpNew,    rzdpDestroy,
    rzdpMatchName, rzdpAttach,    rzdpDetach, installHandlers,
};

}  // namespace

DP_PLUGIN_EXPORTS(kDescription)
