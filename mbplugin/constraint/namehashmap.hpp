#pragma once
// Name-keyed pointer maps of the assembly graph and their read cursors. The maps share the
// guarded containers' base: with `locking` on (the default) every access takes the map's
// reader/writer lock, waiting for it or, when not blocking, trying once and raising
// X_CannotReadLock / X_CannotWriteLock. Values are not owned. Iteration is in insertion order.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "containers/storageobject.hpp"

namespace rziDataNamespace {

template <class T>
class NameHashMap;
template <class T>
class NameHashMapAccessor;

template <class T>
class NameHashMap<T*> : public StorageObject {
  public:
    std::uint64_t count() const override {
        Guard g(*this, false);
        return entries_.size();
    }
    bool isEmpty() const override {
        Guard g(*this, false);
        return entries_.empty();
    }
    // Adds or replaces the value under name.
    void insert(const std::string& name, T* value) {
        Guard g(*this, true);
        const auto found = index_.find(name);
        if (found != index_.end()) {
            entries_[found->second].second = value;
            return;
        }
        index_.emplace(name, entries_.size());
        entries_.emplace_back(name, value);
    }
    // nullptr when absent.
    T* find(const std::string& name) const {
        Guard g(*this, false);
        const auto found = index_.find(name);
        return found == index_.end() ? nullptr : entries_[found->second].second;
    }

  private:
    friend class NameHashMapAccessor<T*>;

    // Releases in the destructor; a failed release is only raised when nothing else is.
    class Guard {
      public:
        Guard(const NameHashMap& m, bool write) : m_(m), write_(write) {
            write_ ? m_.beginWrite(true) : m_.beginRead(true);
        }
        ~Guard() noexcept(false) {
            try {
                write_ ? m_.endWrite(true) : m_.endRead(true);
            } catch (...) {
                if (std::uncaught_exceptions() == 0) {
                    throw;
                }
            }
        }

      private:
        const NameHashMap& m_;
        bool write_;
    };

    std::vector<std::pair<std::string, T*>> entries_;
    std::unordered_map<std::string, std::size_t> index_;
};

// Read cursor over a name map (slot order: destructor, isEmpty, atEnd, count, position,
// next, key, value).
template <class T>
class HashMapAccessor;

template <class T>
class HashMapAccessor<T*> {
  public:
    virtual ~HashMapAccessor() = default;
    virtual bool isEmpty() const = 0;
    virtual bool atEnd() const = 0;
    virtual std::uint64_t count() const = 0;
    virtual std::uint64_t position() const = 0;
    virtual void next() = 0;
    virtual const std::string& key() const = 0;
    virtual T* value() const = 0;
};

// Holds the map's read lock (when the map's `locking` is on) from construction to
// destruction, so the map cannot change under the cursor. Construction raises
// X_CannotReadLock when the map is non-blocking and the lock is taken for writing.
template <class T>
class NameHashMapAccessor<T*> : public HashMapAccessor<T*> {
  public:
    explicit NameHashMapAccessor(const NameHashMap<T*>& map) : map_(map) {
        locked_ = map_.locking();
        map_.beginRead(locked_);
    }
    ~NameHashMapAccessor() override {
        try {
            map_.endRead(locked_);
        } catch (...) {
            // The lock was taken by this cursor; a failed release cannot be acted on here.
        }
    }
    NameHashMapAccessor(const NameHashMapAccessor&) = delete;
    NameHashMapAccessor& operator=(const NameHashMapAccessor&) = delete;

    bool isEmpty() const override { return map_.entries_.empty(); }
    bool atEnd() const override { return position_ >= map_.entries_.size(); }
    std::uint64_t count() const override { return map_.entries_.size(); }
    std::uint64_t position() const override { return position_; }
    void next() override { ++position_; }
    // key and value: the cursor must not be at the end.
    const std::string& key() const override { return map_.entries_[position_].first; }
    T* value() const override { return map_.entries_[position_].second; }

  private:
    const NameHashMap<T*>& map_;
    bool locked_ = false;  // whether construction took the lock (locking may change later)
    std::uint64_t position_ = 0;
};

}  // namespace rziDataNamespace
