// Components, events, type ids, the allocator and the registration table.

#include "fbsdk/fbcomponent.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>

#include "fbhost_internal.hpp"

int FBComponent::TypeInfo = FBRegisterTypeId("FBComponent");

namespace {

std::atomic<long> gLiveBlocks{0};

}  // namespace

int FBRegisterTypeId(const char* className) {
    static std::mutex mutex;
    static std::map<std::string, int> ids;
    std::lock_guard<std::mutex> lock(mutex);
    std::string name = className ? className : "";
    auto found = ids.find(name);
    if (found != ids.end())
        return found->second;
    int id = static_cast<int>(ids.size()) + 1;
    ids.emplace(name, id);
    return id;
}

void FBPropertyEvent::add(const void* owner, std::string key, Handler handler) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_entries.push_back({owner, std::move(key), std::move(handler)});
}

void FBPropertyEvent::remove(const void* owner, const std::string& key) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->owner == owner && it->key == key) {
            // Entries stay in place while a firing walks them.
            if (m_firing > 0) {
                it->handler = nullptr;
                ++it;
            } else {
                it = m_entries.erase(it);
            }
        } else {
            ++it;
        }
    }
}

void FBPropertyEvent::Fire(HISender sender, HKEvent event) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    ++m_firing;
    // By index: handlers may add entries (which this firing also reaches) or remove some.
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        Handler handler = m_entries[i].handler;
        if (handler)
            handler(sender, event);
    }
    if (--m_firing == 0)
        std::erase_if(m_entries, [](const Entry& e) { return !e.handler; });
}

int FBPropertyEvent::GetCount() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    int n = 0;
    for (const Entry& e : m_entries)
        n += e.handler ? 1 : 0;
    return n;
}

FBComponent::FBComponent(const char* name) {
    Name = FBString(name);
}

FBComponent::~FBComponent() = default;

void FBComponent::FBSetAllocatedBySDK(const char* className) {
    m_allocatedBySDK = true;
    m_allocatedClass = className ? className : "";
}

void FBComponent::FBDelete() {
    if (m_allocatedBySDK) {
        this->~FBComponent();
        FBComponentRelease(this);
    } else {
        delete this;
    }
}

FBComponent* FBGetFBObject(HIObject object) {
    return static_cast<FBComponent*>(object);
}

void* FBComponentAllocate(std::size_t size) {
    void* block = std::aligned_alloc(alignof(std::max_align_t),
                                     (size + alignof(std::max_align_t) - 1) /
                                         alignof(std::max_align_t) * alignof(std::max_align_t));
    if (!block)
        throw std::bad_alloc();
    gLiveBlocks.fetch_add(1);
    return block;
}

void FBComponentRelease(void* block) {
    if (!block)
        return;
    gLiveBlocks.fetch_sub(1);
    std::free(block);
}

long FBComponentLiveCount() {
    return gLiveBlocks.load();
}

void FBObject_Register(const char* group, const char* name, const char* description,
                       kFBObjectCreator creator, bool visible, const char* icon) {
    FBHost::Registration r;
    r.group = group ? group : "";
    r.name = name ? name : "";
    r.description = description ? description : "";
    r.icon = icon ? icon : "";
    r.creator = creator;
    r.visible = visible;
    FBHost::detail::addRegistration(std::move(r));
}
