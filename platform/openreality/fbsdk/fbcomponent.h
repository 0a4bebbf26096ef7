#pragma once
// Components of the animation host's SDK layer: the base class with type ids and allocation
// marks, properties, events, object registration and the library object a plug-in exports.
//
// Threads: a property guards its value with its own lock, so one thread may set what
// another reads (a device's Status while the host prints it). Events are added, removed and
// fired on the host's user-interface thread; firing holds the event's lock, so a handler may
// add or remove handlers of the same event but must not block on another thread that fires it.

#include <cstddef>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "fbsdk/fbtypes.h"

// Every SDK type is visible from the shared library, also to plug-ins built with hidden
// symbols, so type checks across libraries agree.
#pragma GCC visibility push(default)

class FBComponent;
using HISender = FBComponent*;

// What an event carries; handlers read the fields their event fills (see FBEventSpread).
struct FBEvent {
    int Type = 0;
    kReference Row = 0;  // spreadsheet: the row's reference
    int Column = 0;      // spreadsheet: the column, -1 the row header
};
using HKEvent = FBEvent*;

class FBEventSpread {
  public:
    explicit FBEventSpread(HKEvent event)
        : Row(event ? event->Row : 0), Column(event ? event->Column : 0) {}
    kReference Row;
    int Column;
};

// A list of handlers, each a member function of an owner object. The owner must remove its
// handlers before it dies.
class FBPropertyEvent {
  public:
    FBPropertyEvent() = default;
    FBPropertyEvent(const FBPropertyEvent&) = delete;
    FBPropertyEvent& operator=(const FBPropertyEvent&) = delete;

    template <class T>
    void Add(T* owner, void (T::*handler)(HISender, HKEvent)) {
        add(owner, key(handler),
            [owner, handler](HISender s, HKEvent e) { (owner->*handler)(s, e); });
    }
    template <class T>
    void Remove(T* owner, void (T::*handler)(HISender, HKEvent)) {
        remove(owner, key(handler));
    }
    // Host side: calls every handler in the order added.
    void Fire(HISender sender, HKEvent event);
    int GetCount() const;

  private:
    using Handler = std::function<void(HISender, HKEvent)>;
    struct Entry {
        const void* owner;
        std::string key;
        Handler handler;  // empty once removed during a firing
    };
    template <class F>
    static std::string key(F handler) {
        std::string bytes(sizeof handler, '\0');
        std::memcpy(bytes.data(), &handler, sizeof handler);
        return bytes;
    }
    void add(const void* owner, std::string key, Handler handler);
    void remove(const void* owner, const std::string& key);

    mutable std::recursive_mutex m_mutex;
    std::vector<Entry> m_entries;
    int m_firing = 0;
};

// A value with its own lock. Copies out on read.
template <class T>
class FBProperty {
  public:
    FBProperty() = default;
    explicit FBProperty(T value) : m_value(std::move(value)) {}
    FBProperty(const FBProperty&) = delete;
    FBProperty& operator=(const FBProperty& other) { return *this = other.Get(); }
    FBProperty& operator=(const T& value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_value = value;
        return *this;
    }
    operator T() const { return Get(); }
    T Get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value;
    }

  private:
    mutable std::mutex m_mutex;
    T m_value{};
};

using FBPropertyString = FBProperty<FBString>;
using FBPropertyTime = FBProperty<FBTime>;
using FBPropertyBool = FBProperty<bool>;
using FBPropertyInt = FBProperty<int>;
using FBPropertyDouble = FBProperty<double>;
using FBPropertyVector3d = FBProperty<FBVector3d>;

// A process-wide number per class, for Is and GetTypeId. Same name, same number.
int FBRegisterTypeId(const char* className);

class FBComponent {
  public:
    static int TypeInfo;

    explicit FBComponent(const char* name = nullptr);
    virtual ~FBComponent();
    FBComponent(const FBComponent&) = delete;
    FBComponent& operator=(const FBComponent&) = delete;

    virtual const char* ClassName() { return "FBComponent"; }
    virtual bool Is(int typeId) { return typeId == FBComponent::TypeInfo; }
    virtual int GetTypeId() { return FBComponent::TypeInfo; }
    // Second stage of construction, called by creation functions; false makes the creator
    // destroy the object again.
    virtual bool FBCreate() { return true; }
    // Called by the host before the object is destroyed.
    virtual void FBDestroy() {}

    HIObject GetHIObject() { return static_cast<void*>(this); }
    // Marks the object as made by FBComponentAllocate and placement construction, so it is
    // destroyed the same way (FBDelete).
    void FBSetAllocatedBySDK(const char* className);
    bool IsAllocatedBySDK() const { return m_allocatedBySDK; }
    const char* AllocatedClassName() const { return m_allocatedClass.c_str(); }
    // Destroys this object the way it was made: destructor and FBComponentRelease when
    // marked, else delete. Does not call FBDestroy.
    void FBDelete();

    FBPropertyString Name;

  private:
    bool m_allocatedBySDK = false;
    std::string m_allocatedClass;
};

FBComponent* FBGetFBObject(HIObject object);

// The SDK component allocator: blocks suitably aligned for any component; throws
// std::bad_alloc when out of memory. FBComponentLiveCount counts blocks not yet released.
void* FBComponentAllocate(std::size_t size);
void FBComponentRelease(void* block);
long FBComponentLiveCount();

// Creation function of a registered class: builds a component named `name`; `parent` is the
// object it is made for (a layout's device) or null. Returns the new object's handle or null.
using kFBObjectCreator = HIObject (*)(HIObject parent, const char* name, void* data);

// Appends an entry to the host's table of registrations (see fbhost.h). Every call appends:
// registering twice shows up as two entries.
void FBObject_Register(const char* group, const char* name, const char* description,
                       kFBObjectCreator creator, bool visible, const char* icon);

// Operation passed to a library's entry point.
enum kFBDllOperation {
    kFBDllLoad = 0,
    kFBDllConfig = 1,
    kFBDllUnload = 2,
};

// The library object a plug-in exports through LIBRARY_INIT. The host calls its
// notifications in the order init, open, ready when loading and close, release when
// unloading; each says whether the step succeeded. The object belongs to the plug-in and
// lives for the process.
class FBLibrary {
  public:
    virtual ~FBLibrary() = default;
    virtual bool LibInit() { return true; }
    virtual bool LibOpen() { return true; }
    virtual bool LibReady() { return true; }
    virtual bool LibClose() { return true; }
    virtual bool LibRelease() { return true; }
};

#pragma GCC visibility pop
