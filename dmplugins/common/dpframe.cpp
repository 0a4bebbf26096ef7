// The plug-in frame (see dpframe.hpp).
#include "common/dpframe.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace dp {
namespace {

struct Slot {
    RzInstance* inst = nullptr;
    int busy = 0;  // pins held by handlers and attach/detach calls
    bool dying = false;
};

std::mutex gMutex;
std::condition_variable gUnpinned;
std::unordered_map<uint32_t, Slot> gSlots;
std::unordered_map<const RzInstance*, uint32_t> gByPointer;
// Handles this thread has pinned. Plain storage on purpose: a thread-local with a destructor
// is gone before exit handlers run, and a device may be closed from one.
constexpr int kMaxHeld = 64;
thread_local uint32_t tHeld[kMaxHeld];
thread_local int tHeldCount = 0;

std::atomic<RzCoreServices*> gServices{nullptr};
std::atomic<RzPluginEntry*> gEntry{nullptr};
std::atomic<const Description*> gDescription{nullptr};
std::atomic<RzList*> gList{nullptr};
std::atomic<Handler> gHandlers[256];
std::atomic<bool> gHandlersInstalled{false};
std::atomic<uint16_t> gSequence{0};
std::atomic<uint8_t> gKind{0};
std::mutex gCreationMutex;

// Pins `id` when it names a live instance; gives the instance or null.
RzInstance* pinById(uint32_t id) {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gSlots.find(id);
    if (it == gSlots.end() || it->second.dying || it->second.inst->item.magic != RZ_LIST_MAGIC ||
        tHeldCount == kMaxHeld) {
        return nullptr;
    }
    ++it->second.busy;
    tHeld[tHeldCount++] = id;
    return it->second.inst;
}

void unpin(uint32_t id) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        for (int i = tHeldCount - 1; i >= 0; --i) {
            if (tHeld[i] == id) {
                tHeld[i] = tHeld[--tHeldCount];
                break;
            }
        }
        auto it = gSlots.find(id);
        if (it != gSlots.end()) {
            --it->second.busy;
        }
    }
    gUnpinned.notify_all();
}

// Runs at RZ_ListDestroy (plug-in shutdown) for instances still open: releases every
// remaining client.
void instanceDestructor(void* item) {
    const Description* d = gDescription.load();
    if (d == nullptr) {
        return;
    }
    auto* inst = static_cast<RzInstance*>(item);
    int r;
    do {
        r = d->Destroy(inst);
    } while (r == RZERR_INSTANCE_SHARED_BY_OTHERS);
}

}  // namespace

int verbosity() {
    RzPluginEntry* e = gEntry.load(std::memory_order_acquire);
    return e ? std::atomic_ref<int32_t>(e->verbosity).load(std::memory_order_relaxed) : 0;
}

bool verbose(int above) {
    return verbosity() > above;
}

const RzCoreServices* services() {
    return gServices.load(std::memory_order_acquire);
}
uint8_t kind() {
    return gKind.load();
}
RzList* instanceList() {
    return gList.load();
}
std::mutex& creationMutex() {
    return gCreationMutex;
}

void setHandler(int message, Handler handler) {
    if (message >= 0 && message < 256) {
        gHandlers[message].store(handler);
    }
}

int getEntryPoints(RzPluginEntry* entry, const Description& d) {
    if (entry == nullptr) {
        return RZERR_INVALID_FUNCTABLE;
    }
    entry->versionA = RZ_INTERFACE_VERSION_A;
    entry->versionB = RZ_INTERFACE_VERSION_B;
    entry->kind = d.kind;
    entry->name = d.name;
    entry->reserved = 0;
    std::atomic_ref<int32_t>(entry->verbosity).store(0);
    entry->New = d.New;
    entry->Destroy = d.Destroy;
    entry->MatchName = d.MatchName;
    entry->AttachDataStream = d.AttachDataStream;
    entry->DetachDataStream = d.DetachDataStream;
    entry->Control = control;
    return RZERR_NO_ERROR;
}

int initialize(RzCoreServices* services, RzPluginEntry* entry, const Description& d) {
    if (services == nullptr || entry == nullptr) {
        return RZERR_INVALID_FUNCTABLE;
    }
    gServices.store(services);
    gEntry.store(entry);
    gDescription.store(&d);
    gKind.store(d.kind);
    // A second initialisation keeps the list: a new one would orphan the open instances.
    RzList* list = gList.load();
    if (list == nullptr || RZ_ListCount(list) < 0) {
        list = RZ_ListNew();
        if (list == nullptr) {
            return RZERR_OUT_OF_MEMORY;
        }
        gList.store(list);
    }
    bool expected = false;
    if (gHandlersInstalled.compare_exchange_strong(expected, true)) {
        for (auto& h : gHandlers) {
            h.store(nullptr);
        }
        d.installHandlers();
    }
    return RZERR_NO_ERROR;
}

int shutdown() {
    RzList* list = gList.exchange(nullptr);
    if (list != nullptr && list->magic == RZ_LIST_MAGIC) {
        RZ_ListDestroy(list);
    }
    gServices.store(nullptr);
    return RZERR_NO_ERROR;
}

RzInstance* share(const char* canonicalName) {
    std::lock_guard<std::mutex> lock(gMutex);
    for (auto& [id, slot] : gSlots) {
        if (!slot.dying && std::strncmp(slot.inst->name, canonicalName, RZ_NAME_SIZE) == 0) {
            clients(slot.inst).fetch_add(1);
            return slot.inst;
        }
    }
    return nullptr;
}

RzInstance* create(const char* canonicalName, int privateSize) {
    const RzCoreServices* svc = services();
    RzList* list = gList.load();
    if (svc == nullptr || list == nullptr) {
        RZ_SetLastError(RZERR_PLUGIN_NOT_INITIALIZED);
        return nullptr;
    }
    if (canonicalName == nullptr || std::strlen(canonicalName) >= RZ_NAME_SIZE) {
        DP_LOG(0, "[dp] RZDM_NewDPI: instance name of %zu characters refused.\n",
               canonicalName ? std::strlen(canonicalName) : 0);
        RZ_SetLastError(RZERR_INVALID_PARAM);
        return nullptr;
    }
    void* priv = nullptr;
    if (privateSize > 0) {
        priv = svc->allocate(privateSize);
        if (priv == nullptr) {
            RZ_SetLastError(RZERR_OUT_OF_MEMORY);
            return nullptr;
        }
    }
    auto* inst = static_cast<RzInstance*>(RZ_ListItemNew(RZ_INSTANCE_SIZE, instanceDestructor));
    if (inst == nullptr) {
        DP_LOG(0, "[dp] RZDM_NewDPI: Failed to create new list item.\n");
        svc->release(priv);
        RZ_SetLastError(RZERR_OUT_OF_MEMORY);
        return nullptr;
    }
    inst->priv = priv;
    inst->kind = gKind.load();
    inst->verbosity = verbosity();
    std::strncpy(inst->name, canonicalName, RZ_NAME_SIZE - 1);
    clients(inst).store(1);
    RZ_FpsInit(&inst->fps, 0.0);
    RZ_ListAddItem(list, inst);
    std::lock_guard<std::mutex> lock(gMutex);
    gSlots[inst->item.id] = Slot{inst, 0, false};
    gByPointer[inst] = inst->item.id;
    return inst;
}

void discard(RzInstance* inst) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        auto it = gByPointer.find(inst);
        if (it == gByPointer.end()) {
            return;
        }
        gSlots.erase(it->second);
        gByPointer.erase(it);
    }
    finishRelease(inst);
}

int beginRelease(RzInstance* inst) {
    std::unique_lock<std::mutex> lock(gMutex);
    auto it = gByPointer.find(inst);
    if (it == gByPointer.end()) {
        return RZERR_INVALID_INSTANCE;
    }
    uint32_t id = it->second;
    Slot& slot = gSlots[id];
    if (slot.dying || inst->item.magic != RZ_LIST_MAGIC) {
        return RZERR_INVALID_INSTANCE;
    }
    if (clients(inst).fetch_sub(1) - 1 > 0) {
        return RZERR_INSTANCE_SHARED_BY_OTHERS;
    }
    slot.dying = true;
    int mine = static_cast<int>(std::count(tHeld, tHeld + tHeldCount, id));
    gUnpinned.wait(lock, [&] { return gSlots[id].busy <= mine; });
    gSlots.erase(id);
    gByPointer.erase(inst);
    return RZERR_NO_ERROR;
}

void finishRelease(RzInstance* inst) {
    if (const RzCoreServices* svc = services(); svc != nullptr && inst->priv != nullptr) {
        svc->release(inst->priv);
    }
    inst->priv = nullptr;
    inst->item.destructor = nullptr;
    RzList* list = gList.load();
    if (list != nullptr && RZ_ListItemIsOfList(list, inst)) {
        RZ_ListDeleteItem(list, inst);
    }
}

Pin::Pin(RzInstance* inst) {
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        auto it = gByPointer.find(inst);
        if (it == gByPointer.end()) {
            return;
        }
        id = it->second;
    }
    inst_ = pinById(id);
}

Pin::~Pin() {
    if (inst_ != nullptr) {
        unpin(inst_->item.id);
    }
}

std::vector<RzDataStream*> publish(RzList* streams, const void* bytes, int length) {
    std::vector<RzDataStream*> failed;
    RZ_ListLock(streams);
    for (void* s = RZ_ListFirst(streams); s != nullptr; s = RZ_ListNext(streams, s)) {
        auto* stream = static_cast<RzDataStream*>(s);
        if (RZ_DataStreamWrite(stream, bytes, length) != length) {
            failed.push_back(stream);
        }
    }
    RZ_ListUnlock(streams);
    return failed;
}

void reply(RzMessageHeader* header, int result, int length) {
    RzMessageInfo info{};
    RZ_MessageDecode(header, &info);
    std::swap(info.senderKind, info.receiverKind);
    std::swap(info.senderHandle, info.receiverHandle);
    info.answered = info.sequence;
    info.sequence = ++gSequence;
    info.replyWanted = 0;
    info.result = static_cast<int8_t>(result < -127 ? -1 : (result > 127 ? 127 : result));
    info.length = static_cast<uint16_t>(std::clamp(length, 0, 0xFFFF));
    RZ_MessageEncode(&info, header);
    RZ_MessageStamp(header);
}

int payloadLength(const RzMessageHeader* header) {
    return header->bytes[RZ_HDR_LENGTH] << 8 | header->bytes[RZ_HDR_LENGTH + 1];
}
int item(const RzMessageHeader* header) {
    return header->bytes[RZ_HDR_ARGCODE] & 0x7F;
}
bool textForm(const RzMessageHeader* header) {
    return (header->bytes[RZ_HDR_ARGCODE] & RZ_ARGCODE_TEXT) != 0;
}
bool hasMagic(const RzMessageHeader* header) {
    return std::memcmp(header->bytes + RZ_HDR_MAGIC, "RZI", 3) == 0;
}

int handleRelease(RzInstance* inst, RzMessageHeader* header, int (*map)(int result)) {
    if (!hasMagic(header)) {
        return RZERR_INVALID_MESSAGE;
    }
    const Description* d = gDescription.load();
    int r = d->Destroy(inst);
    if (r == RZERR_INSTANCE_SHARED_BY_OTHERS) {
        lastResult(inst).store(r);  // the record lives on; after 0 it is gone
    }
    int out = map(r);
    reply(header, out, 0);
    return out;
}

int handleLastResult(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size) {
    if (size < 4) {
        reply(header, RZERR_BUFFER_TOO_SMALL, 0);
        return RZERR_BUFFER_TOO_SMALL;
    }
    putBe32(payload, static_cast<uint32_t>(lastResult(inst).load()));
    reply(header, RZERR_NO_ERROR, 4);
    return RZERR_NO_ERROR;
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t getBe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

int control(RzMessageHeader* header, void* payload, int size) {
    if (header == nullptr) {
        return RZERR_INVALID_MESSAGE;
    }
    if (payload == nullptr || size < 0) {
        size = 0;
    }
    RzMessageInfo info{};
    RZ_MessageDecode(header, &info);
    int result;
    RzInstance* inst = pinById(info.receiverHandle);
    Handler handler = gHandlers[info.message].load();
    if (inst == nullptr) {
        DP_LOG(0, "[dp] RZDP_Control: invalid instance %x\n", info.receiverHandle);
        result = RZERR_INVALID_INSTANCE;
    } else if (handler == nullptr) {
        DP_LOG(0, "[dp] RZDP_Control: message %d not implemented\n", info.message);
        result = RZERR_MESSAGE_NOT_IMPLEMENTED;
    } else if (info.length > size) {
        // Nothing may be read or written past the buffer the message came with.
        DP_LOG(0, "[dp] RZDP_Control: payload of %d bytes in a buffer of %d\n", info.length, size);
        result = RZERR_MESSAGE_INVALID_BODY;
    } else {
        result = handler(inst, header, static_cast<uint8_t*>(payload), size);
        unpin(info.receiverHandle);
        return result;
    }
    if (inst != nullptr) {
        unpin(info.receiverHandle);
    }
    if (info.replyWanted) {
        reply(header, result, 0);
    }
    return result;
}

}  // namespace dp
