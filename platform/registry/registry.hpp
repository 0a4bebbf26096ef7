#pragma once
// The device registry: a tree of named keys holding named values, kept in one JSON file.
//
// Keys and values keep the order in which they were created or read. Every change is written
// back to the file at once (or at the end of the outermost Batch), through a temporary file
// and a rename, so a reader never sees half a registry. Objects returned as pointers are owned
// by their parent key and stay valid until that entry is deleted or the registry is destroyed
// or reloaded. Not thread-safe: one thread owns a registry at a time.

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class rziRegistry;
class rziRegistryKey;

// Every failure of the registry: unreadable, missing or malformed file, failed write-back,
// a name that collides with an entry of the other kind.
class rziRegistryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class rziRegistryValue {
  public:
    enum Type { Integer, Double, String };

    const char* getName() const { return m_name.c_str(); }
    Type getType() const { return m_type; }
    // Numbers convert to one another (doubles truncate towards zero, clamped to int); text is
    // read as a number when the whole text is one, else 0.
    double getDouble() const;
    int getInteger() const;
    // The text of a String value; null for numbers.
    const char* getString() const;

    void setValue(double v);
    void setValue(int v);
    void setValue(const char* text);  // null is ignored

    rziRegistryKey* getKey() const { return m_owner; }

  private:
    friend class rziRegistryKey;
    friend class rziRegistry;
    rziRegistryValue(rziRegistryKey* owner, std::string name)
        : m_owner(owner), m_name(std::move(name)) {}

    rziRegistryKey* m_owner;
    std::string m_name;
    Type m_type = Integer;
    int m_int = 0;
    double m_double = 0.0;
    std::string m_text;
};

class rziRegistryKey {
  public:
    const char* getName() const { return m_name.c_str(); }

    // Sub-keys by name (exact, case-sensitive) or by index; null when absent or out of range.
    rziRegistryKey* getKey(const char* name) const;
    rziRegistryKey* getKey(int index) const;
    int getKeyCount() const { return static_cast<int>(m_keys.size()); }
    // Gives the existing sub-key of that name, or appends a new empty one.
    rziRegistryKey* createKey(const char* name);
    // Deletes the sub-key and everything below it; false when there was none.
    bool deleteKey(const char* name);

    rziRegistryValue* getValue(const char* name) const;
    rziRegistryValue* getValue(int index) const;
    int getValueCount() const { return static_cast<int>(m_values.size()); }
    // Gives the existing value of that name, or appends a new one (integer 0).
    rziRegistryValue* createValue(const char* name);
    bool deleteValue(const char* name);

    rziRegistryKey* getParent() const { return m_parent; }
    rziRegistry* getRegistry() const { return m_registry; }

  private:
    friend class rziRegistry;
    friend class rziRegistryValue;
    friend class rziRegistryTreeBuilder;
    rziRegistryKey(rziRegistry* registry, rziRegistryKey* parent, std::string name)
        : m_registry(registry), m_parent(parent), m_name(std::move(name)) {}
    void changed() const;
    // Appends without looking for a name already present; the caller has checked.
    rziRegistryKey* appendKey(std::string name);
    rziRegistryValue* appendValue(std::string name);

    rziRegistry* m_registry;
    rziRegistryKey* m_parent;
    std::string m_name;
    std::vector<std::unique_ptr<rziRegistryKey>> m_keys;
    std::vector<std::unique_ptr<rziRegistryValue>> m_values;
};

class rziRegistry {
  public:
    // Environment variable naming the default registry file.
    static constexpr const char* kEnvironmentVariable = "MANUVIA_REGISTRY";
    // Largest registry file accepted, and deepest key nesting.
    static constexpr std::size_t kMaxFileSize = 16u << 20;
    static constexpr int kMaxDepth = 64;

    rziRegistry();
    virtual ~rziRegistry();
    rziRegistry(const rziRegistry&) = delete;
    rziRegistry& operator=(const rziRegistry&) = delete;

    // Loads fileName, or the default registry file when null. A missing, unreadable or
    // malformed file throws rziRegistryError and leaves the registry as it was.
    virtual void load(const char* fileName);
    // Starts an empty registry bound to fileName and writes it at once.
    void create(const char* fileName);
    // Parses registry text without binding a file: changes stay in memory.
    void loadText(std::string_view text);

    // The root key; null until something is loaded.
    rziRegistryKey* getRoot() const { return m_root.get(); }
    // The bound file; empty when none.
    const std::string& getFileName() const { return m_fileName; }

    // Writes the registry to its file now (atomically); nothing when no file is bound.
    void save();
    // The registry as JSON text, as save() writes it.
    std::string toText() const;

    // The default registry file: $MANUVIA_REGISTRY, else $XDG_CONFIG_HOME/manuvia/devices.json,
    // else $HOME/.config/manuvia/devices.json.
    static std::string defaultFileName();

    // Defers write-back until the outermost batch ends, so a calibration save is one write.
    // commit() writes and may throw; a batch ended without commit() writes in its destructor
    // and reports a failure on standard error, since a destructor cannot throw.
    class Batch {
      public:
        explicit Batch(rziRegistry* registry);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        void commit();

      private:
        rziRegistry* m_registry;
        bool m_open = true;
    };

  private:
    friend class rziRegistryKey;
    void changed();

    std::unique_ptr<rziRegistryKey> m_root;
    std::string m_fileName;
    int m_batchDepth = 0;
    bool m_dirty = false;
};
