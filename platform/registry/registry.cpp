#include "registry/registry.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unordered_set>

using OrderedJson = nlohmann::ordered_json;

namespace {

std::string errnoText(int err) {
    return std::strerror(err);
}

// Reads a whole text as a double; false when anything but blanks is left over.
bool parseNumber(const std::string& text, double& out) {
    if (text.empty())
        return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(begin, &end);
    if (end == begin)
        return false;
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end != '\0')
        return false;
    out = v;
    return true;
}

int clampToInt(double v) {
    if (std::isnan(v))
        return 0;
    if (v >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (v <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(v);
}

// Builds the key tree straight from parser events, so hostile nesting or size never becomes
// a document in memory first, and each limit is checked as the bytes are read.
}  // namespace

class rziRegistryTreeBuilder : public nlohmann::json_sax<OrderedJson> {
  public:
    explicit rziRegistryTreeBuilder(rziRegistryKey* root) : m_root(root) {}

    bool null() override { return fail("null is not a registry value (\"" + m_pending + "\")"); }
    bool boolean(bool v) override { return addInteger(v ? 1 : 0); }
    bool number_integer(number_integer_t v) override {
        if (v < INT_MIN || v > INT_MAX)
            return fail("integer out of range (\"" + m_pending + "\")");
        return addInteger(static_cast<int>(v));
    }
    bool number_unsigned(number_unsigned_t v) override {
        if (v > static_cast<number_unsigned_t>(INT_MAX))
            return fail("integer out of range (\"" + m_pending + "\")");
        return addInteger(static_cast<int>(v));
    }
    bool number_float(number_float_t v, const string_t&) override {
        rziRegistryValue* value = addValue();
        if (!value)
            return false;
        value->setValue(static_cast<double>(v));
        return true;
    }
    bool string(string_t& v) override {
        if (v.find('\0') != std::string::npos)
            return fail("text holds a NUL character");
        rziRegistryValue* value = addValue();
        if (!value)
            return false;
        value->setValue(v.c_str());
        return true;
    }
    bool binary(binary_t&) override { return fail("binary data is not a registry value"); }
    bool start_object(std::size_t) override {
        if (m_stack.empty()) {
            if (m_started)
                return fail("more than one top-level object");
            m_started = true;
            m_stack.push_back({m_root, {}});
            return true;
        }
        if (static_cast<int>(m_stack.size()) >= rziRegistry::kMaxDepth)
            return fail("keys nested deeper than " + std::to_string(rziRegistry::kMaxDepth));
        if (!claimName())
            return false;
        rziRegistryKey* key = m_stack.back().key->appendKey(m_pending);
        m_stack.push_back({key, {}});
        return true;
    }
    bool key(string_t& name) override {
        if (name.find('\0') != std::string::npos)
            return fail("a name holds a NUL character");
        m_pending = name;
        return true;
    }
    bool end_object() override {
        m_stack.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        return fail("arrays are not registry values (\"" + m_pending + "\")");
    }
    bool end_array() override { return false; }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& ex) override {
        return fail(ex.what());
    }

    const std::string& error() const { return m_error; }
    bool started() const { return m_started; }

  private:
    struct Frame {
        rziRegistryKey* key;
        std::unordered_set<std::string> names;
    };

    bool fail(std::string message) {
        if (m_error.empty())
            m_error = std::move(message);
        return false;
    }
    bool claimName() {
        if (!m_stack.back().names.insert(m_pending).second)
            return fail("name \"" + m_pending + "\" appears twice in key \"" +
                        m_stack.back().key->getName() + "\"");
        return true;
    }
    rziRegistryValue* addValue() {
        if (m_stack.empty()) {
            fail("the top level must be an object");
            return nullptr;
        }
        if (!claimName())
            return nullptr;
        return m_stack.back().key->appendValue(m_pending);
    }
    bool addInteger(int v) {
        rziRegistryValue* value = addValue();
        if (!value)
            return false;
        value->setValue(v);
        return true;
    }

    rziRegistryKey* m_root;
    std::vector<Frame> m_stack;
    std::string m_pending;
    std::string m_error;
    bool m_started = false;
};

namespace {

OrderedJson toJson(const rziRegistryKey& key) {
    OrderedJson out = OrderedJson::object();
    for (int i = 0; i < key.getValueCount(); ++i) {
        const rziRegistryValue* v = key.getValue(i);
        switch (v->getType()) {
            case rziRegistryValue::Integer:
                out[v->getName()] = v->getInteger();
                break;
            case rziRegistryValue::Double: {
                double d = v->getDouble();
                // JSON has no spelling for these; as text they read back as the same number.
                if (std::isnan(d))
                    out[v->getName()] = "nan";
                else if (std::isinf(d))
                    out[v->getName()] = d > 0 ? "inf" : "-inf";
                else
                    out[v->getName()] = d;
                break;
            }
            case rziRegistryValue::String:
                out[v->getName()] = v->getString();
                break;
        }
    }
    for (int i = 0; i < key.getKeyCount(); ++i)
        out[key.getKey(i)->getName()] = toJson(*key.getKey(i));
    return out;
}

std::string readWholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        throw rziRegistryError("Cannot open device registry " + path + ": " + errnoText(err));
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            throw rziRegistryError("Cannot read device registry " + path + ": " + errnoText(err));
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > rziRegistry::kMaxFileSize) {
            ::close(fd);
            throw rziRegistryError("Device registry " + path + " is larger than " +
                                   std::to_string(rziRegistry::kMaxFileSize) + " bytes");
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

// Writes text to path through a temporary file in the same folder and a rename.
void writeAtomically(const std::string& requested, const std::string& text) {
    // Replace the file a symbolic link points at, not the link.
    std::string path = requested;
    struct stat st {};
    mode_t mode = 0644;
    if (::lstat(requested.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(requested.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    if (::stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;

    std::string tmp = path + ".XXXXXX";
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        throw rziRegistryError("Cannot write device registry " + path + ": " + errnoText(err));
    }
    auto fail = [&](const char* what) {
        int err = errno;
        if (fd >= 0)
            ::close(fd);
        ::unlink(tmp.c_str());
        throw rziRegistryError(std::string("Cannot write device registry ") + path + " (" + what +
                               "): " + errnoText(err));
    };
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd, mode) != 0)
        fail("chmod");
    if (::fsync(fd) != 0)
        fail("fsync");
    if (::close(fd) != 0) {
        fd = -1;
        fail("close");
    }
    fd = -1;
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        fail("rename");
    // Make the rename itself durable.
    std::string dir = ".";
    if (auto slash = path.rfind('/'); slash != std::string::npos)
        dir = slash == 0 ? "/" : path.substr(0, slash);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

bool validName(const char* name) {
    return name != nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// rziRegistryValue

double rziRegistryValue::getDouble() const {
    switch (m_type) {
        case Integer:
            return m_int;
        case Double:
            return m_double;
        case String: {
            double v = 0.0;
            return parseNumber(m_text, v) ? v : 0.0;
        }
    }
    return 0.0;
}

int rziRegistryValue::getInteger() const {
    switch (m_type) {
        case Integer:
            return m_int;
        case Double:
            return clampToInt(m_double);
        case String: {
            double v = 0.0;
            return parseNumber(m_text, v) ? clampToInt(v) : 0;
        }
    }
    return 0;
}

const char* rziRegistryValue::getString() const {
    return m_type == String ? m_text.c_str() : nullptr;
}

void rziRegistryValue::setValue(double v) {
    m_type = Double;
    m_double = v;
    m_text.clear();
    m_owner->changed();
}

void rziRegistryValue::setValue(int v) {
    m_type = Integer;
    m_int = v;
    m_text.clear();
    m_owner->changed();
}

void rziRegistryValue::setValue(const char* text) {
    if (!text)
        return;
    m_type = String;
    m_text = text;
    m_owner->changed();
}

// ---------------------------------------------------------------------------------------------
// rziRegistryKey

void rziRegistryKey::changed() const {
    if (m_registry)
        m_registry->changed();
}

rziRegistryKey* rziRegistryKey::getKey(const char* name) const {
    if (!validName(name))
        return nullptr;
    for (const auto& k : m_keys)
        if (k->m_name == name)
            return k.get();
    return nullptr;
}

rziRegistryKey* rziRegistryKey::getKey(int index) const {
    if (index < 0 || index >= getKeyCount())
        return nullptr;
    return m_keys[static_cast<std::size_t>(index)].get();
}

rziRegistryKey* rziRegistryKey::createKey(const char* name) {
    if (!validName(name))
        throw rziRegistryError("A registry key needs a name");
    if (rziRegistryKey* existing = getKey(name))
        return existing;
    if (getValue(name))
        throw rziRegistryError(std::string("Key \"") + m_name +
                               "\" already holds a value named \"" + name + "\"");
    int depth = 1;
    for (const rziRegistryKey* k = this; k->m_parent; k = k->m_parent)
        ++depth;
    if (depth >= rziRegistry::kMaxDepth)
        throw rziRegistryError("Registry keys nested deeper than " +
                               std::to_string(rziRegistry::kMaxDepth));
    rziRegistryKey* key = appendKey(name);
    changed();
    return key;
}

rziRegistryKey* rziRegistryKey::appendKey(std::string name) {
    m_keys.push_back(
        std::unique_ptr<rziRegistryKey>(new rziRegistryKey(m_registry, this, std::move(name))));
    return m_keys.back().get();
}

rziRegistryValue* rziRegistryKey::appendValue(std::string name) {
    m_values.push_back(
        std::unique_ptr<rziRegistryValue>(new rziRegistryValue(this, std::move(name))));
    return m_values.back().get();
}

bool rziRegistryKey::deleteKey(const char* name) {
    if (!validName(name))
        return false;
    for (auto it = m_keys.begin(); it != m_keys.end(); ++it) {
        if ((*it)->m_name == name) {
            m_keys.erase(it);
            changed();
            return true;
        }
    }
    return false;
}

rziRegistryValue* rziRegistryKey::getValue(const char* name) const {
    if (!validName(name))
        return nullptr;
    for (const auto& v : m_values)
        if (v->m_name == name)
            return v.get();
    return nullptr;
}

rziRegistryValue* rziRegistryKey::getValue(int index) const {
    if (index < 0 || index >= getValueCount())
        return nullptr;
    return m_values[static_cast<std::size_t>(index)].get();
}

rziRegistryValue* rziRegistryKey::createValue(const char* name) {
    if (!validName(name))
        throw rziRegistryError("A registry value needs a name");
    if (rziRegistryValue* existing = getValue(name))
        return existing;
    if (getKey(name))
        throw rziRegistryError(std::string("Key \"") + m_name +
                               "\" already holds a sub-key named \"" + name + "\"");
    rziRegistryValue* value = appendValue(name);
    changed();
    return value;
}

bool rziRegistryKey::deleteValue(const char* name) {
    if (!validName(name))
        return false;
    for (auto it = m_values.begin(); it != m_values.end(); ++it) {
        if ((*it)->m_name == name) {
            m_values.erase(it);
            changed();
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// rziRegistry

rziRegistry::rziRegistry() = default;
rziRegistry::~rziRegistry() = default;

std::string rziRegistry::defaultFileName() {
    if (const char* env = std::getenv(kEnvironmentVariable); env && *env)
        return env;
    // The XDG rules ignore a relative folder.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
        return std::string(xdg) + "/manuvia/devices.json";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.config/manuvia/devices.json";
    return "devices.json";
}

void rziRegistry::loadText(std::string_view text) {
    if (text.size() > kMaxFileSize)
        throw rziRegistryError("Device registry text is larger than " +
                               std::to_string(kMaxFileSize) + " bytes");
    // Built detached (no registry), so building it writes nothing; attached once complete.
    std::unique_ptr<rziRegistryKey> root(new rziRegistryKey(nullptr, nullptr, ""));
    rziRegistryTreeBuilder builder(root.get());
    bool ok = OrderedJson::sax_parse(text.begin(), text.end(), &builder,
                                     nlohmann::detail::input_format_t::json, true, false);
    if (!ok || !builder.started()) {
        std::string why = builder.error();
        if (why.empty())
            why = builder.started() ? "unexpected content" : "the top level must be an object";
        throw rziRegistryError(why);
    }
    // Point every key of the new tree at this registry.
    std::vector<rziRegistryKey*> todo{root.get()};
    while (!todo.empty()) {
        rziRegistryKey* k = todo.back();
        todo.pop_back();
        k->m_registry = this;
        for (auto& child : k->m_keys)
            todo.push_back(child.get());
    }
    m_root = std::move(root);
    m_fileName.clear();
    m_dirty = false;
}

void rziRegistry::load(const char* fileName) {
    std::string path;
    bool isDefault = fileName == nullptr;
    if (isDefault) {
        path = defaultFileName();
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            throw rziRegistryError("No device registry at " + path + " (set " +
                                   std::string(kEnvironmentVariable) + " to a registry file)");
    } else {
        path = fileName;
    }
    std::string text = readWholeFile(path);
    try {
        loadText(text);
    } catch (const rziRegistryError& e) {
        throw rziRegistryError("Device registry " + path + " is malformed: " + e.what());
    }
    m_fileName = path;
}

void rziRegistry::create(const char* fileName) {
    if (!fileName || !*fileName)
        throw rziRegistryError("A new registry needs a file name");
    auto root = std::unique_ptr<rziRegistryKey>(new rziRegistryKey(this, nullptr, ""));
    writeAtomically(fileName, "{}\n");
    m_root = std::move(root);
    m_fileName = fileName;
    m_dirty = false;
}

std::string rziRegistry::toText() const {
    if (!m_root)
        return "{}\n";
    return toJson(*m_root).dump(4) + "\n";
}

void rziRegistry::save() {
    if (m_fileName.empty()) {
        m_dirty = false;
        return;
    }
    writeAtomically(m_fileName, toText());
    m_dirty = false;
}

void rziRegistry::changed() {
    m_dirty = true;
    if (m_batchDepth == 0)
        save();
}

rziRegistry::Batch::Batch(rziRegistry* registry) : m_registry(registry) {
    if (m_registry)
        ++m_registry->m_batchDepth;
}

void rziRegistry::Batch::commit() {
    if (!m_open)
        return;
    m_open = false;
    if (!m_registry)
        return;
    if (--m_registry->m_batchDepth == 0 && m_registry->m_dirty)
        m_registry->save();
}

rziRegistry::Batch::~Batch() {
    try {
        commit();
    } catch (const std::exception& e) {
        std::cerr << "[registry] " << e.what() << std::endl;
    }
}
