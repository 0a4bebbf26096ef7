// Intrusive doubly linked lists whose items start with RzListItem.
//
// Every list and every item of RZ_ListItemNew is registered, so a pointer that is not (or no
// longer) one of ours is refused instead of being followed. Each list has its own recursive
// lock; an item's `list` field is only changed under the lock of that list.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "devicemanager/rzcore.h"
#include "devicemanager/rzplugin.h"
#include "rzinternal.hpp"

namespace {

struct ListImpl {
    RzList pub;  // first: an RzList* is a ListImpl*
    std::recursive_mutex mutex;
    RzListItem* head = nullptr;
    RzListItem* tail = nullptr;
    int count = 0;
};

std::mutex gRegistryMutex;
std::unordered_set<const void*>& lists() {
    static auto* s = new std::unordered_set<const void*>;
    return *s;
}
// Items of RZ_ListItemNew with their sizes.
std::unordered_map<const void*, int>& items() {
    static auto* s = new std::unordered_map<const void*, int>;
    return *s;
}
std::atomic<uint32_t> gNextId{1};

ListImpl* asList(RzList* list) {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    if (list == nullptr || lists().count(list) == 0) {
        return nullptr;
    }
    return reinterpret_cast<ListImpl*>(list);
}

bool isOwnItem(const void* item) {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    return item != nullptr && items().count(item) != 0;
}

bool holdsInstance(const void* item) {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    auto it = items().find(item);
    return it != items().end() && it->second >= static_cast<int>(sizeof(RzInstance));
}

bool isItem(const void* item) {
    return isOwnItem(item) || rzcore::isStream(item);
}

void* loadList(RzListItem* item) {
    return std::atomic_ref<void*>(item->list).load(std::memory_order_acquire);
}

void unlinkLocked(ListImpl* list, RzListItem* item) {
    auto* prev = static_cast<RzListItem*>(item->prev);
    auto* next = static_cast<RzListItem*>(item->next);
    (prev ? prev->next : reinterpret_cast<void*&>(list->head)) = next;
    (next ? next->prev : reinterpret_cast<void*&>(list->tail)) = prev;
    item->prev = nullptr;
    item->next = nullptr;
    std::atomic_ref<void*>(item->list).store(nullptr, std::memory_order_release);
    --list->count;
}

void freeItem(RzListItem* item) {
    {
        std::lock_guard<std::mutex> lock(gRegistryMutex);
        items().erase(item);
    }
    item->magic = 0;
    std::free(item);
}

}  // namespace

uint32_t rzcore::nextItemId() {
    uint32_t id = gNextId.fetch_add(1, std::memory_order_relaxed);
    if (id == 0) {
        id = gNextId.fetch_add(1, std::memory_order_relaxed);
    }
    return id;
}

extern "C" {

RzList* RZ_ListNew(void) {
    auto* list = new (std::nothrow) ListImpl;
    if (list == nullptr) {
        return nullptr;
    }
    list->pub.magic = RZ_LIST_MAGIC;
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    lists().insert(list);
    return &list->pub;
}

int RZ_ListDestroy(RzList* pub) {
    ListImpl* list = asList(pub);
    if (list == nullptr) {
        return RZERR_INVALID_PARAM;
    }
    for (;;) {
        RzListItem* item;
        {
            std::lock_guard<std::recursive_mutex> lock(list->mutex);
            item = list->head;
            if (item == nullptr) {
                break;
            }
            unlinkLocked(list, item);
        }
        // The destructor may release the record through its plug-in, which deletes it only
        // when it is still a member; so it was unlinked first and is freed here.
        if (isOwnItem(item)) {
            if (item->destructor != nullptr) {
                item->destructor(item);
            }
            if (isOwnItem(item)) {
                freeItem(item);
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(gRegistryMutex);
        lists().erase(list);
    }
    list->pub.magic = 0;
    delete list;
    return RZERR_NO_ERROR;
}

void* RZ_ListItemNew(int size, RzItemDestructor destructor) {
    if (size < static_cast<int>(sizeof(RzListItem))) {
        return nullptr;
    }
    auto* item = static_cast<RzListItem*>(std::calloc(1, static_cast<size_t>(size)));
    if (item == nullptr) {
        return nullptr;
    }
    item->magic = RZ_LIST_MAGIC;
    item->id = rzcore::nextItemId();
    item->destructor = destructor;
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    items().emplace(item, size);
    return item;
}

int RZ_ListAddItem(RzList* pub, void* raw) {
    ListImpl* list = asList(pub);
    if (list == nullptr || !isItem(raw)) {
        return RZERR_INVALID_PARAM;
    }
    auto* item = static_cast<RzListItem*>(raw);
    std::lock_guard<std::recursive_mutex> lock(list->mutex);
    void* expected = nullptr;
    if (!std::atomic_ref<void*>(item->list).compare_exchange_strong(expected, list)) {
        return RZERR_DEVICE_IN_USE;
    }
    item->next = nullptr;
    item->prev = list->tail;
    (list->tail ? list->tail->next : reinterpret_cast<void*&>(list->head)) = item;
    list->tail = item;
    ++list->count;
    return RZERR_NO_ERROR;
}

int RZ_ListDeleteItem(RzList* pub, void* raw) {
    ListImpl* list = asList(pub);
    if (list == nullptr || !isItem(raw)) {
        return RZERR_INVALID_PARAM;
    }
    auto* item = static_cast<RzListItem*>(raw);
    {
        std::lock_guard<std::recursive_mutex> lock(list->mutex);
        if (loadList(item) != list) {
            return RZERR_INVALID_PARAM;
        }
        unlinkLocked(list, item);
    }
    if (isOwnItem(item)) {
        freeItem(item);
    }
    return RZERR_NO_ERROR;
}

int RZ_ListItemIsOfList(RzList* pub, const void* raw) {
    ListImpl* list = asList(pub);
    if (list == nullptr || !isItem(raw)) {
        return 0;
    }
    return loadList(static_cast<RzListItem*>(const_cast<void*>(raw))) == list ? 1 : 0;
}

int RZ_ListCount(RzList* pub) {
    ListImpl* list = asList(pub);
    if (list == nullptr) {
        return RZERR_INVALID_PARAM;
    }
    std::lock_guard<std::recursive_mutex> lock(list->mutex);
    return list->count;
}

void RZ_ListLock(RzList* pub) {
    if (ListImpl* list = asList(pub)) {
        list->mutex.lock();
    }
}

void RZ_ListUnlock(RzList* pub) {
    if (ListImpl* list = asList(pub)) {
        list->mutex.unlock();
    }
}

void* RZ_ListFirst(RzList* pub) {
    ListImpl* list = asList(pub);
    if (list == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> lock(list->mutex);
    return list->head;
}

void* RZ_ListNext(RzList* pub, const void* raw) {
    ListImpl* list = asList(pub);
    if (list == nullptr || raw == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> lock(list->mutex);
    auto* item = static_cast<RzListItem*>(const_cast<void*>(raw));
    if (loadList(item) != list) {
        return nullptr;
    }
    return item->next;
}

uint32_t RZ_ListItemId(const void* raw) {
    if (!isItem(raw)) {
        return 0;
    }
    return static_cast<const RzListItem*>(raw)->id;
}

void* RZ_ListFindById(RzList* pub, uint32_t id) {
    ListImpl* list = asList(pub);
    if (list == nullptr || id == 0) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> lock(list->mutex);
    for (RzListItem* item = list->head; item != nullptr;
         item = static_cast<RzListItem*>(item->next)) {
        if (item->id == id) {
            return item;
        }
    }
    return nullptr;
}

void* RZ_GetInstanceByName(RzList* pub, const char* name) {
    ListImpl* list = asList(pub);
    if (list == nullptr || name == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> lock(list->mutex);
    for (RzListItem* item = list->head; item != nullptr;
         item = static_cast<RzListItem*>(item->next)) {
        if (!holdsInstance(item)) {
            continue;
        }
        auto* inst = reinterpret_cast<RzInstance*>(item);
        if (std::strncmp(inst->name, name, RZ_NAME_SIZE) == 0) {
            return inst;
        }
    }
    return nullptr;
}

}  // extern "C"
