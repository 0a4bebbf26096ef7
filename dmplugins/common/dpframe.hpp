// The plug-in frame: what every device-manager plug-in shares. Entry record, services,
// instance bookkeeping with checkable handles, the 256-slot message table, the reply rules,
// messages 2 and 4, big-endian payload fields and the "[dp]" diagnostics.
//
// Each plug-in links its own copy (a static library), so the state here is per plug-in.
//
// Instance lifetime: the frame keeps every live instance in a table keyed by its handle.
// Message handlers and attach/detach run with the instance pinned; the last release
// (beginRelease) takes the instance out of the table and waits until no other thread has it
// pinned, so the plug-in may then stop its activity and free the state.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "devicemanager/rzplugin.h"

namespace dp {

// Handler of one message number. `inst` is pinned for the call; `payload` holds
// header-length bytes (checked against `size`) and receives the reply payload.
using Handler = int (*)(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size);

struct Description {
    uint8_t kind;
    const char* name;  // entry-record name
    RzdpNew New;
    RzdpDestroy Destroy;
    RzdpMatchName MatchName;
    RzdpAttachDataStream AttachDataStream;
    RzdpDetachDataStream DetachDataStream;
    void (*installHandlers)();  // called once per process
};

// The three exports' work.
int getEntryPoints(RzPluginEntry* entry, const Description& d);
int initialize(RzCoreServices* services, RzPluginEntry* entry, const Description& d);
int shutdown();

// RZDP_Control of every plug-in.
int control(RzMessageHeader* header, void* payload, int size);
void setHandler(int message, Handler handler);

// Verbosity of the entry record, read now.
int verbosity();
bool verbose(int above);  // verbosity() > above
#define DP_LOG(above, ...)           \
    do {                             \
        if (::dp::verbose(above)) {  \
            RZ_Verbose(__VA_ARGS__); \
        }                            \
    } while (0)

const RzCoreServices* services();
uint8_t kind();
RzList* instanceList();

// Held by RZDP_New across looking up and creating an instance, so two clients opening the
// same name at once get one instance.
std::mutex& creationMutex();

// Instance of that canonical name (not being released): one client more and the instance;
// null when none. Call with creationMutex held.
RzInstance* share(const char* canonicalName);
// New record with a zeroed private block of `privateSize` bytes, client count 1, appended to
// the instance list. Null (and "[dp] RZDM_NewDPI: ..." logged) when allocation fails; null
// and -2 as last error for a name of RZ_NAME_SIZE characters or more (never cut: two long
// names would share one instance).
RzInstance* create(const char* canonicalName, int privateSize);
// Gives back a record from `create` whose set-up failed (frees the private block).
void discard(RzInstance* inst);

// One client less. -9 for a record that is not a live instance of this plug-in; -10 while
// clients remain; 0 for the last client, once no other thread has the instance pinned: the
// plug-in then stops its activity and calls finishRelease.
int beginRelease(RzInstance* inst);
// Frees the private block (service 2), clears the destructor and deletes the record from the
// instance list when it is a member.
void finishRelease(RzInstance* inst);

// Pins a live instance for the scope (attach, detach, handlers on own threads).
class Pin {
  public:
    explicit Pin(RzInstance* inst);
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    explicit operator bool() const { return inst_ != nullptr; }

  private:
    RzInstance* inst_ = nullptr;
};

// Turns a request header into a reply in place: swaps kinds and handles, answered =
// request sequence, new sequence from the plug-in's counter, reply-wanted cleared, result
// (below -127 sent as -1), payload length, time now.
void reply(RzMessageHeader* header, int result, int length);

// Header fields used by handlers.
int payloadLength(const RzMessageHeader* header);
int item(const RzMessageHeader* header);  // argcode bits 0-6
bool textForm(const RzMessageHeader* header);
bool hasMagic(const RzMessageHeader* header);  // "RZI"

// Message 2: checks the magic (-12, no reply), releases one client with the plug-in's
// Destroy, stores -10 as the last result when shared, replies with map(result) and gives it.
int handleRelease(RzInstance* inst, RzMessageHeader* header, int (*map)(int result));

// Message 4: replies with the record's last result, 4 bytes big-endian, and gives 0; a
// buffer of fewer than 4 bytes gets -4 and no payload.
int handleLastResult(RzInstance* inst, RzMessageHeader* header, uint8_t* payload, int size);

// 32-bit payload fields in network byte order.
void putBe32(uint8_t* p, uint32_t v);
uint32_t getBe32(const uint8_t* p);

// Writes `length` bytes to every stream of a client-stream list (under the list's lock, so
// attach and detach wait). Gives the streams that did not take them all; the caller detaches
// those afterwards (RZDP_DetachDataStream), outside the lock.
std::vector<RzDataStream*> publish(RzList* streams, const void* bytes, int length);

// Atomic access to the shared fields of a record.
inline std::atomic_ref<int32_t> clients(RzInstance* inst) {
    return std::atomic_ref<int32_t>(inst->clientCount);
}
inline std::atomic_ref<int32_t> lastResult(RzInstance* inst) {
    return std::atomic_ref<int32_t>(inst->lastResult);
}

}  // namespace dp

// Defines a plug-in's three exports on the frame; use once, at namespace scope, in the
// plug-in's own source so the symbols land in its module.
#define DP_PLUGIN_EXPORTS(description)                                               \
    extern "C" RZ_PLUGIN_EXPORT int RZ_Plugin_GetEntryPoints(RzPluginEntry* entry) { \
        return dp::getEntryPoints(entry, description);                               \
    }                                                                                \
    extern "C" RZ_PLUGIN_EXPORT int RZ_Plugin_Initialize(RzCoreServices* services,   \
                                                         RzPluginEntry* entry) {     \
        return dp::initialize(services, entry, description);                         \
    }                                                                                \
    extern "C" RZ_PLUGIN_EXPORT int RZ_Plugin_Shutdown(void) {                       \
        return dp::shutdown();                                                       \
    }
