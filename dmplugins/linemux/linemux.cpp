// linemux: the serial port manager plug-in. Maps logical port names to device paths, opens a
// port once however many clients ask for it, watches it on its own thread feeding the
// attached stream, and writes message 16 payloads to it.
//
// The device manager's configuration may map logical names to other paths (a USB adapter, a
// pseudo-terminal): the entry [device=linemux:item=devicepaths] holds lines "name=path",
// where the name is any name of the port table ("serial1", "COM1", ...). Ports it does not
// name keep the build's device-path section.
#include <atomic>
#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/dpframe.hpp"
#include "linemux/rzserial.h"

namespace {

// Four sections: logical names (entry 0), Windows paths (17), first Unix set (33), second
// Unix set (41). This build uses the first Unix set as its device-path section.
const RzStringIndex kPorts[] = {
    {0, "serial1"},       {0, "serial"},        {1, "serial2"},       {2, "serial3"},
    {3, "serial4"},       {4, "serial5"},       {5, "serial6"},       {6, "serial7"},
    {7, "serial8"},       {8, "serial9"},       {9, "serial10"},      {10, "serial11"},
    {11, "serial12"},     {12, "serial13"},     {13, "serial14"},     {14, "serial15"},
    {15, "serial16"},     {0, "COM1"},          {1, "COM2"},          {2, "COM3"},
    {3, "COM4"},          {4, "COM5"},          {5, "COM6"},          {6, "COM7"},
    {7, "COM8"},          {8, "COM9"},          {9, "\\\\.\\COM10"},  {10, "\\\\.\\COM11"},
    {11, "\\\\.\\COM12"}, {12, "\\\\.\\COM13"}, {13, "\\\\.\\COM14"}, {14, "\\\\.\\COM15"},
    {15, "\\\\.\\COM16"}, {0, "/dev/ttyS0"},    {1, "/dev/ttyS1"},    {2, "/dev/ttyS2"},
    {3, "/dev/ttyS3"},    {4, "/dev/ttyS4"},    {5, "/dev/ttyS5"},    {6, "/dev/ttyS6"},
    {7, "/dev/ttyS7"},    {0, "/dev/ttyd1"},    {1, "/dev/ttyd2"},    {2, "/dev/ttyd3"},
    {3, "/dev/ttyd4"},    {4, "/dev/ttyd5"},    {5, "/dev/ttyd6"},    {6, "/dev/ttyd7"},
    {7, "/dev/ttyd8"},    {-1, nullptr},
};
constexpr int kDevicePathSection = 33;
constexpr int kDevicePathSectionEnd = 41;
static_assert(sizeof(kPorts) / sizeof(kPorts[0]) == 50);

struct LinemuxState {
    RzSerialPort* port = nullptr;
    // The stream last attached, null when none. Its watcher may have ended by itself (a
    // hang-up): the port then takes a new stream, which replaces it here.
    std::atomic<RzDataStream*> stream{nullptr};
};

LinemuxState* stateOf(RzInstance* inst) {
    return static_cast<LinemuxState*>(inst->priv);
}

std::string trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// The configured path of port index i, empty when the configuration names none.
std::string configuredPath(int index) {
    const RzCoreServices* svc = dp::services();
    if (svc == nullptr || svc->query == nullptr) {
        return {};
    }
    char text[4096];
    int n = svc->query("device=linemux:item=devicepaths", text, sizeof text);
    if (n == RZERR_BUFFER_TOO_SMALL) {
        DP_LOG(0, "[seriald] the configured device paths exceed %zu bytes; not used.\n",
               sizeof text);
    }
    if (n <= 0) {
        return {};
    }
    std::string answer(text, static_cast<size_t>(n));
    size_t start = 0;
    while (start < answer.size()) {
        size_t end = answer.find('\n', start);
        std::string line =
            answer.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? answer.size() : end + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string name = trimmed(line.substr(0, eq));
        if (RZ_GetStringIndex(name.c_str(), kPorts) == index) {
            return trimmed(line.substr(eq + 1));
        }
    }
    return {};
}

// Device path of port index i: the configured one, else the build's device-path section.
std::string devicePath(int index) {
    if (std::string path = configuredPath(index); !path.empty()) {
        return path;
    }
    for (int e = kDevicePathSection; e < kDevicePathSectionEnd; ++e) {
        if (kPorts[e].index == index) {
            return kPorts[e].name;
        }
    }
    return {};
}

int rzdpMatchName(const char* name) {
    int index = RZ_GetStringIndex(name, kPorts);
    if (index < 0 && name != nullptr && std::strncmp(name, "/dev/", 5) == 0) {
        DP_LOG(2, "[seriald] not a standard port, use the port name literally\n");
        return 0;
    }
    return index;
}

RzInstance* rzdpNew(const char* name, const char* settings) {
    if (name == nullptr || *name == '\0') {
        RZ_SetLastError(RZERR_INVALID_PARAM);
        return nullptr;
    }
    std::string canonical = name;
    std::string path = name;
    int index = RZ_GetStringIndex(name, kPorts);
    if (index >= 0) {
        canonical = RZ_GetStringFromIndex(index, kPorts);
        path = devicePath(index);
        if (path.empty()) {
            DP_LOG(0, "[seriald] %s has no device on this system.\n", name);
            RZ_SetLastError(RZERR_INVALID_DEVICE);
            return nullptr;
        }
    }
    if (canonical.size() >= RZ_NAME_SIZE) {
        // A long stable name (/dev/serial/by-id/...) goes by the device it points to, which
        // also lets a shorter name of the same device share the instance.
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            canonical = resolved;
            std::free(resolved);
        }
    }
    if (canonical.size() >= RZ_NAME_SIZE) {
        DP_LOG(0, "[seriald] port name too long: %s\n", name);
        RZ_SetLastError(RZERR_INVALID_PARAM);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(dp::creationMutex());
    if (RzInstance* inst = dp::share(canonical.c_str())) {
        DP_LOG(1, "[seriald] The request port has already been openned. \n");
        return inst;
    }
    RzSerialPort* port = RZ_SerialOpen(path.c_str(), settings);
    if (port == nullptr) {
        return nullptr;
    }
    RzInstance* inst = dp::create(canonical.c_str(), sizeof(LinemuxState));
    if (inst == nullptr) {
        DP_LOG(0, "[seriald] Fail to allocate a new instance.\n");
        RZ_SerialClose(port);
        return nullptr;
    }
    new (inst->priv) LinemuxState;
    stateOf(inst)->port = port;
    return inst;
}

int rzdpDestroy(RzInstance* inst) {
    int r = dp::beginRelease(inst);
    if (r == RZERR_INSTANCE_SHARED_BY_OTHERS) {
        DP_LOG(2, "[seriald] %d clients still connected.\n", dp::clients(inst).load());
    }
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    LinemuxState* st = stateOf(inst);
    if (RzDataStream* stream = st->stream.exchange(nullptr)) {
        dp::lastResult(inst).store(RZ_SerialUnwatch(st->port, stream));
        RZ_DataStreamSetOwner(stream, nullptr);
    }
    DP_LOG(1, "[seriald] Inst %x destroyed.\n", RZ_InstanceHandle(inst));
    RZ_SerialClose(st->port);
    st->~LinemuxState();
    dp::finishRelease(inst);
    return RZERR_NO_ERROR;
}

int rzdpAttach(RzInstance* inst, RzDataStream* stream) {
    dp::Pin pin(inst);
    if (!pin) {
        return RZERR_INVALID_INSTANCE;
    }
    if (!RZ_DataStreamIsValid(stream)) {
        return RZERR_INVALID_DATASTREAM;
    }
    LinemuxState* st = stateOf(inst);
    if (st->stream.load() == stream) {
        return RZERR_DEVICE_IN_USE;
    }
    // A port has one watched stream: a second is refused (-22) while a watcher runs rather
    // than orphaning the first. The owner is recorded before the first delivery.
    RZ_DataStreamSetOwner(stream, inst);
    int r = RZ_SerialWatch(st->port, stream);
    if (r != RZERR_NO_ERROR) {
        RZ_DataStreamSetOwner(stream, nullptr);
        return r;
    }
    RzDataStream* previous = st->stream.exchange(stream);
    if (previous != nullptr && RZ_DataStreamOwner(previous) == inst) {
        RZ_DataStreamSetOwner(previous, nullptr);
    }
    return RZERR_NO_ERROR;
}

int rzdpDetach(RzInstance* inst, RzDataStream* stream) {
    dp::Pin pin(inst);
    if (!pin) {
        return RZERR_INVALID_INSTANCE;
    }
    LinemuxState* st = stateOf(inst);
    if (!RZ_DataStreamIsValid(stream) || st->stream.load() != stream) {
        return RZERR_INVALID_DATASTREAM;
    }
    int r = RZ_SerialUnwatch(st->port, stream);
    dp::lastResult(inst).store(r);
    if (r == RZERR_NO_ERROR) {
        RzDataStream* expected = stream;  // unless an attach replaced it meanwhile
        st->stream.compare_exchange_strong(expected, nullptr);
        RZ_DataStreamSetOwner(stream, nullptr);
    }
    return r;
}

int onRelease(RzInstance* inst, RzMessageHeader* header, uint8_t*, int) {
    return dp::handleRelease(inst, header, [](int r) {
        return r == RZERR_NO_ERROR || r == RZERR_INSTANCE_SHARED_BY_OTHERS ? 0 : -1;
    });
}

int onAccept(RzInstance*, RzMessageHeader*, uint8_t*, int) {
    return RZERR_NO_ERROR;
}

int onRefuse(RzInstance*, RzMessageHeader* header, uint8_t*, int) {
    dp::reply(header, RZERR_GENERIC_ERROR, 0);
    return RZERR_GENERIC_ERROR;
}

int onWrite(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int) {
    int length = dp::payloadLength(header);  // checked against the buffer by the frame
    int result = RZERR_NO_ERROR;
    if (length > 0) {
        int r = RZ_SerialWrite(stateOf(inst)->port, payload, length);
        if (r < 0) {
            DP_LOG(0, "[seriald] Write error.\n");
            result = r;
        }
    }
    dp::reply(header, result, 0);
    return result;
}

void installHandlers() {
    dp::setHandler(RZ_MSG_RELEASE, onRelease);
    dp::setHandler(RZ_MSG_RELOAD, onAccept);
    dp::setHandler(RZ_MSG_LAST_RESULT, dp::handleLastResult);
    dp::setHandler(RZ_MSG_RESERVED_5, onAccept);
    dp::setHandler(RZ_MSG_RESERVED_6, onAccept);
    dp::setHandler(RZ_MSG_READ_SETTING, onRefuse);
    dp::setHandler(RZ_MSG_WRITE_SETTING, onRefuse);
    dp::setHandler(RZ_MSG_READ, onRefuse);
    dp::setHandler(RZ_MSG_WRITE, onWrite);
}

const dp::Description kDescription = {
    RZ_KIND_LINEMUX, "Serial V1.20", rzdpNew,    rzdpDestroy,
    rzdpMatchName,   rzdpAttach,     rzdpDetach, installHandlers,
};

}  // namespace

DP_PLUGIN_EXPORTS(kDescription)
