// Plug-in loading, the services table, message routing, configuration queries and the
// client calls.
//
// The plug-in table is filled once (RZ_LoadPlugins) and then only read until
// RZ_UnloadPlugins, which callers use when no device is in use; calls into plug-ins are
// made without holding the core's locks, since a plug-in may call back into the core (and
// the glove driver waits for replies inside RZDP_New).
#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "rzinternal.hpp"

namespace {

struct Plugin {
    std::string file;
    std::string module;
    void* library = nullptr;
    RzPluginEntry entry{};  // the plug-in keeps a pointer to it: never moves
    RzPluginShutdownFn shutdown = nullptr;
};

struct OpenDevice {
    Plugin* plugin;
    RzInstance* instance;
    uint32_t id;
};

std::recursive_mutex gLoadMutex;
std::atomic<bool> gLoaded{false};
std::thread::id gLoadingThread;
std::vector<std::unique_ptr<Plugin>> gPlugins;  // stable while loaded
std::atomic<int> gVerbosity{-1};

std::mutex gDevicesMutex;
std::unordered_map<RzDeviceHandle, OpenDevice> gDevices;
RzDeviceHandle gNextHandle = 0;
std::map<RzInstance*, std::pair<Plugin*, int>> gServiceOpens;  // instance -> plug-in, refs
std::atomic<uint16_t> gSequence{0};

int verbosity() {
    int v = gVerbosity.load();
    if (v < 0) {
        const char* env = std::getenv("RZ_VERBOSE");
        v = env ? std::atoi(env) : 0;
        int expected = -1;
        gVerbosity.compare_exchange_strong(expected, v);
        v = gVerbosity.load();
    }
    return v;
}

void* serviceAllocate(int bytes) {
    return bytes > 0 ? std::calloc(1, static_cast<size_t>(bytes)) : nullptr;
}
void serviceRelease(void* block) {
    std::free(block);
}

RzCoreServices gServices = {
    nullptr,           serviceAllocate,   serviceRelease,    RZ_InstanceOpen, RZ_InstanceClose,
    RZ_InstanceAttach, RZ_InstanceDetach, RZ_MessageDeliver, RZ_ConfigQuery,
};

std::string moduleName(const std::string& file) {
    std::string base = file.substr(file.find_last_of('/') + 1);
    if (base.rfind("lib", 0) == 0) {
        base = base.substr(3);
    }
    size_t so = base.find(".so");
    return so == std::string::npos ? base : base.substr(0, so);
}

std::string defaultFolder() {
    if (const char* env = std::getenv("RZ_PLUGIN_PATH"); env != nullptr && *env != '\0') {
        return env;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&RZ_LoadPlugins), &info) != 0 && info.dli_fname) {
        std::string lib = info.dli_fname;
        size_t slash = lib.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : lib.substr(0, slash);
        return dir + "/rzplugins";
    }
    return "rzplugins";
}

void loadOne(const std::string& path) {
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        if (verbosity() > 0) {
            RZ_Verbose("[dm] cannot load %s: %s\n", path.c_str(), dlerror());
        }
        return;
    }
    auto get = reinterpret_cast<RzPluginGetEntryPointsFn>(dlsym(lib, "RZ_Plugin_GetEntryPoints"));
    auto init = reinterpret_cast<RzPluginInitializeFn>(dlsym(lib, "RZ_Plugin_Initialize"));
    auto shut = reinterpret_cast<RzPluginShutdownFn>(dlsym(lib, "RZ_Plugin_Shutdown"));
    if (get == nullptr || init == nullptr || shut == nullptr) {
        if (verbosity() > 0) {
            RZ_Verbose("[dm] %s: %s\n", path.c_str(), RZ_ErrorName(RZERR_INVALID_PLUGIN));
        }
        dlclose(lib);
        return;
    }
    auto plugin = std::make_unique<Plugin>();
    plugin->file = path;
    plugin->module = moduleName(path);
    plugin->library = lib;
    plugin->shutdown = shut;
    plugin->entry.leading = RZ_LIST_MAGIC;
    int r = get(&plugin->entry);
    if (r == 0 && (plugin->entry.versionA != RZ_INTERFACE_VERSION_A ||
                   plugin->entry.versionB != RZ_INTERFACE_VERSION_B)) {
        r = RZERR_PLUGIN_INCOMPATIBLE_VERSION;
    }
    RzPluginEntry& e = plugin->entry;
    if (r == 0 &&
        (e.New == nullptr || e.Destroy == nullptr || e.MatchName == nullptr ||
         e.AttachDataStream == nullptr || e.DetachDataStream == nullptr || e.Control == nullptr)) {
        r = RZERR_INVALID_FUNCTABLE;
    }
    if (r == 0) {
        r = init(&gServices, &plugin->entry);
    }
    if (r != 0) {
        if (verbosity() > 0) {
            RZ_Verbose("[dm] %s refused: %s\n", path.c_str(), RZ_ErrorName(r));
        }
        dlclose(lib);
        return;
    }
    std::atomic_ref<int32_t>(plugin->entry.verbosity).store(verbosity());
    if (verbosity() > 1) {
        RZ_Verbose("[dm] loaded %s (%s, kind %d)\n", path.c_str(),
                   plugin->entry.name ? plugin->entry.name : "?", plugin->entry.kind);
    }
    gPlugins.push_back(std::move(plugin));
}

bool ensureLoaded() {
    if (gLoaded.load(std::memory_order_acquire)) {
        return true;
    }
    std::lock_guard<std::recursive_mutex> lock(gLoadMutex);
    if (gLoadingThread == std::this_thread::get_id()) {
        return true;  // a plug-in calling back while being initialised sees those before it
    }
    return RZ_LoadPlugins(nullptr) >= 0;
}

std::vector<Plugin*> plugins() {
    std::vector<Plugin*> out;
    for (auto& p : gPlugins) {
        out.push_back(p.get());
    }
    return out;
}

Plugin* pluginByKind(int kind) {
    if (!ensureLoaded()) {
        return nullptr;
    }
    for (Plugin* p : plugins()) {
        if (p->entry.kind == kind) {
            return p;
        }
    }
    return nullptr;
}

Plugin* pluginMatching(const char* type) {
    if (!ensureLoaded() || type == nullptr || *type == '\0') {
        return nullptr;
    }
    for (Plugin* p : plugins()) {
        if (p->entry.MatchName(type) >= 0) {
            return p;
        }
    }
    return nullptr;
}

Plugin* pluginByModule(const std::string& module) {
    if (!ensureLoaded()) {
        return nullptr;
    }
    for (Plugin* p : plugins()) {
        if (strcasecmp(p->module.c_str(), module.c_str()) == 0) {
            return p;
        }
    }
    return nullptr;
}

// Plug-in that handed out `inst` (through the service or a client open), or null.
Plugin* ownerOf(RzInstance* inst) {
    std::lock_guard<std::mutex> lock(gDevicesMutex);
    if (auto it = gServiceOpens.find(inst); it != gServiceOpens.end()) {
        return it->second.first;
    }
    for (auto& [handle, dev] : gDevices) {
        if (dev.instance == inst) {
            return dev.plugin;
        }
    }
    return nullptr;
}

std::string firstToken(const char* text) {
    char name[RZ_NAME_SIZE * 2];
    RZ_GetStringToken(text ? text : "", ":\n", name, sizeof(name));
    std::string s = name;
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.pop_back();
    }
    size_t start = s.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : s.substr(start);
}

std::string valueOf(const char* text, const char* key) {
    std::string found;
    std::string s = text ? text : "";
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t end = s.find_first_of(":\n", pos);
        std::string token = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        size_t eq = token.find('=');
        if (eq != std::string::npos) {
            std::string k = token.substr(0, eq);
            k.erase(0, k.find_first_not_of(" \t"));
            k.erase(k.find_last_not_of(" \t\r") + 1);
            if (strcasecmp(k.c_str(), key) == 0) {
                found = token.substr(eq + 1);
                found.erase(0, found.find_first_not_of(" \t"));
                found.erase(found.find_last_not_of(" \t\r") + 1);
            }
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return found;
}

// Canonical form of a query: its tokens, trimmed, sorted, joined by ':'.
std::string normaliseQuery(const std::string& q) {
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos <= q.size()) {
        size_t end = q.find_first_of(":\n", pos);
        std::string t = q.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        t.erase(0, t.find_first_not_of(" \t\r"));
        t.erase(t.find_last_not_of(" \t\r") + 1);
        if (!t.empty()) {
            tokens.push_back(t);
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    std::sort(tokens.begin(), tokens.end());
    std::string out;
    for (auto& t : tokens) {
        out += (out.empty() ? "" : ":") + t;
    }
    return out;
}

std::string configFile() {
    if (const char* env = std::getenv("RZ_CONFIG_FILE"); env && *env) {
        return env;
    }
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        return std::string(xdg) + "/manuvia/devicemanager.conf";
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::string(home) + "/.config/manuvia/devicemanager.conf";
    }
    return {};
}

bool lookupDevice(RzDeviceHandle handle, OpenDevice& out) {
    std::lock_guard<std::mutex> lock(gDevicesMutex);
    auto it = gDevices.find(handle);
    if (it == gDevices.end()) {
        return false;
    }
    out = it->second;
    return true;
}

}  // namespace

int rzcore::coreVerbosity() {
    return verbosity();
}

extern "C" {

int RZ_GetPluginFolder(char* out, int size) {
    std::string folder = defaultFolder();
    if (out == nullptr || size <= static_cast<int>(folder.size())) {
        return RZERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, folder.c_str(), folder.size() + 1);
    return static_cast<int>(folder.size());
}

int RZ_LoadPlugins(const char* folder) {
    std::lock_guard<std::recursive_mutex> lock(gLoadMutex);
    if (gLoaded.load()) {
        return static_cast<int>(gPlugins.size());
    }
    std::string dir = folder ? folder : defaultFolder();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        if (verbosity() > 0) {
            RZ_Verbose("[dm] plug-in folder %s: %s\n", dir.c_str(),
                       RZ_ErrorName(RZERR_INVALID_PLUGIN_DIR));
        }
        RZ_SetLastError(RZERR_INVALID_PLUGIN_DIR);
        return RZERR_INVALID_PLUGIN_DIR;
    }
    std::vector<std::string> files;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) {
            files.push_back(dir + "/" + name);
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    gLoadingThread = std::this_thread::get_id();
    for (const auto& f : files) {
        loadOne(f);
    }
    gLoadingThread = std::thread::id();
    gLoaded.store(true, std::memory_order_release);
    return static_cast<int>(gPlugins.size());
}

void RZ_UnloadPlugins(void) {
    rzcore::remoteCloseAll();
    std::lock_guard<std::recursive_mutex> lock(gLoadMutex);
    if (!gLoaded.load()) {
        return;
    }
    std::vector<RzDeviceHandle> open;
    {
        std::lock_guard<std::mutex> dl(gDevicesMutex);
        for (auto& [handle, dev] : gDevices) {
            open.push_back(handle);
        }
    }
    for (RzDeviceHandle h : open) {
        RZ_DeviceClose(h);
    }
    // Shut down in reverse load order; a plug-in's instances may hold instances of plug-ins
    // loaded before it... or after it, so every shutdown runs before any library is closed.
    for (auto it = gPlugins.rbegin(); it != gPlugins.rend(); ++it) {
        (*it)->shutdown();
    }
    {
        std::lock_guard<std::mutex> dl(gDevicesMutex);
        gServiceOpens.clear();
        gDevices.clear();
    }
    for (auto it = gPlugins.rbegin(); it != gPlugins.rend(); ++it) {
        dlclose((*it)->library);
    }
    gPlugins.clear();
    gLoaded.store(false);
}

void RZ_SetVerbosity(int level) {
    gVerbosity.store(level < 0 ? 0 : level);
    if (!gLoaded.load(std::memory_order_acquire)) {
        return;
    }
    for (Plugin* p : plugins()) {
        std::atomic_ref<int32_t>(p->entry.verbosity).store(gVerbosity.load());
    }
}

int RZ_PluginCount(void) {
    if (!ensureLoaded()) {
        return 0;
    }
    return static_cast<int>(gPlugins.size());
}

int RZ_GetPluginInfo(int index, RzPluginInfo* out) {
    if (!ensureLoaded() || out == nullptr || index < 0 ||
        index >= static_cast<int>(gPlugins.size())) {
        return RZERR_INVALID_PARAM;
    }
    const Plugin& p = *gPlugins[static_cast<size_t>(index)];
    *out = RzPluginInfo{};
    std::snprintf(out->file, sizeof(out->file), "%s", p.file.c_str());
    std::snprintf(out->module, sizeof(out->module), "%s", p.module.c_str());
    std::snprintf(out->name, sizeof(out->name), "%s", p.entry.name ? p.entry.name : "");
    out->kind = p.entry.kind;
    out->versionA = p.entry.versionA;
    out->versionB = p.entry.versionB;
    return RZERR_NO_ERROR;
}

RzInstance* RZ_InstanceOpen(const char* deviceText) {
    if (deviceText == nullptr) {
        RZ_SetLastError(RZERR_INVALID_URL);
        return nullptr;
    }
    std::string name = firstToken(deviceText);
    if (name.find('=') != std::string::npos) {
        name.clear();
    }
    std::string device = valueOf(deviceText, "device");
    Plugin* plugin = nullptr;
    if (!device.empty()) {
        plugin = pluginByModule(strcasecmp(device.c_str(), "ioman") == 0 ? "linemux" : device);
        if (plugin == nullptr) {
            plugin = pluginMatching(device.c_str());
        }
    } else {
        plugin = pluginMatching(name.c_str());
    }
    if (plugin == nullptr || name.empty()) {
        if (verbosity() > 0) {
            RZ_Verbose("[dm] no plug-in serves \"%s\"\n", deviceText);
        }
        RZ_SetLastError(name.empty() ? RZERR_INVALID_URL : RZERR_INVALID_DEVICE);
        return nullptr;
    }
    RZ_SetLastError(RZERR_NO_ERROR);
    RzInstance* inst = plugin->entry.New(name.c_str(), deviceText);
    if (inst == nullptr) {
        if (RZ_GetLastError() == RZERR_NO_ERROR) {
            RZ_SetLastError(RZERR_INVALID_DEVICE);
        }
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(gDevicesMutex);
    auto& entry = gServiceOpens[inst];
    entry.first = plugin;
    ++entry.second;
    return inst;
}

void RZ_InstanceClose(RzInstance* instance) {
    if (rzcore::inReaderOf(instance)) {
        if (verbosity() > 0) {
            RZ_Verbose("[dm] close of instance %p refused inside its stream's reader\n",
                       static_cast<void*>(instance));
        }
        RZ_SetLastError(RZERR_DATASTREAM_IN_PROGRESS);
        return;
    }
    Plugin* plugin = nullptr;
    {
        std::lock_guard<std::mutex> lock(gDevicesMutex);
        auto it = gServiceOpens.find(instance);
        if (it == gServiceOpens.end()) {
            if (verbosity() > 0) {
                RZ_Verbose("[dm] close of an instance not opened here: %p\n",
                           static_cast<void*>(instance));
            }
            return;
        }
        plugin = it->second.first;
        if (--it->second.second == 0) {
            gServiceOpens.erase(it);
        }
    }
    plugin->entry.Destroy(instance);
}

int RZ_InstanceAttach(RzInstance* instance, RzDataStream* stream) {
    Plugin* plugin = ownerOf(instance);
    if (plugin == nullptr) {
        return RZERR_INVALID_INSTANCE;
    }
    return plugin->entry.AttachDataStream(instance, stream);
}

void RZ_InstanceDetach(RzInstance* instance, RzDataStream* stream) {
    if (Plugin* plugin = ownerOf(instance)) {
        plugin->entry.DetachDataStream(instance, stream);
    }
}

int RZ_MessageDeliver(RzMessageHeader* header, void* payload, int size) {
    if (header == nullptr || std::memcmp(header->bytes, "RZI", 3) != 0) {
        return RZERR_INVALID_MESSAGE;
    }
    Plugin* plugin = pluginByKind(header->bytes[RZ_HDR_RECEIVER_KIND]);
    if (plugin == nullptr) {
        return RZERR_MESSAGE_DELIVER_ERROR;
    }
    int r = plugin->entry.Control(header, payload, size);
    return r < 0 ? r : RZERR_NO_ERROR;
}

int RZ_ConfigQuery(const char* query, char* out, int size) {
    if (query == nullptr || out == nullptr || size <= 0) {
        return RZERR_INVALID_PARAM;
    }
    out[0] = '\0';
    std::string path = configFile();
    std::ifstream in(path);
    if (path.empty() || !in) {
        return RZERR_INVALID_FILE;
    }
    std::string wanted = normaliseQuery(query);
    std::string line;
    bool inEntry = false;
    bool found = false;
    std::string answer;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos && line[start] == '[') {
            if (found) {
                break;
            }
            size_t close = line.rfind(']');
            if (close == std::string::npos || close < start) {
                return RZERR_FILE_INVALID_CONTENT;
            }
            inEntry = normaliseQuery(line.substr(start + 1, close - start - 1)) == wanted;
            found = inEntry;
            continue;
        }
        if (start == std::string::npos || line[start] == '#' || !inEntry) {
            continue;
        }
        answer += (answer.empty() ? "" : "\n") + line.substr(start);
    }
    if (!found) {
        return RZERR_MESSAGE_INVALID_KEY;
    }
    if (static_cast<int>(answer.size()) >= size) {
        return RZERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, answer.c_str(), answer.size() + 1);
    return static_cast<int>(answer.size());
}

RzDeviceHandle RZ_DeviceOpen(const char* server, const char* device, const char* type) {
    if (rzcore::remoteServer(server)) {
        return rzcore::remoteOpen(server, device, type);
    }
    Plugin* plugin = pluginMatching(type);
    if (plugin == nullptr && type != nullptr && *type != '\0') {
        plugin = pluginByModule(type);  // "linemux" with a port as the device
    }
    if (plugin == nullptr) {
        RZ_SetLastError(type == nullptr || *type == '\0' ? RZERR_INVALID_PARAM
                                                         : RZERR_INVALID_DEVICE);
        return 0;
    }
    std::string name = firstToken(device);
    if (name.find('=') != std::string::npos) {
        name.clear();
    }
    if (name.empty()) {
        name = type;
    }
    std::string settings = device ? device : "";
    RZ_SetLastError(RZERR_NO_ERROR);
    RzInstance* inst = plugin->entry.New(name.c_str(), settings.c_str());
    if (inst == nullptr) {
        if (RZ_GetLastError() == RZERR_NO_ERROR) {
            RZ_SetLastError(RZERR_INVALID_DEVICE);
        }
        return 0;
    }
    std::lock_guard<std::mutex> lock(gDevicesMutex);
    RzDeviceHandle handle = ++gNextHandle;
    gDevices[handle] = OpenDevice{plugin, inst, inst->item.id};
    return handle;
}

int RZ_DeviceClose(RzDeviceHandle handle) {
    if (rzcore::isRemoteHandle(handle)) {
        return rzcore::remoteClose(handle);
    }
    OpenDevice dev{};
    {
        std::lock_guard<std::mutex> lock(gDevicesMutex);
        auto it = gDevices.find(handle);
        if (it == gDevices.end()) {
            return RZERR_INVALID_DID;
        }
        // The reader may be running on the device's own thread (its worker, its serial
        // watcher), which the release has to stop and wait for: refuse, keep the device.
        if (rzcore::inReaderOf(it->second.instance)) {
            RZ_SetLastError(RZERR_DATASTREAM_IN_PROGRESS);
            return RZERR_DATASTREAM_IN_PROGRESS;
        }
        dev = it->second;
        gDevices.erase(it);
    }
    RzMessageHeader header;
    RZ_MessagePrepare(&header, RZ_MSG_RELEASE, 0, RZ_KIND_CLIENT, static_cast<uint32_t>(handle),
                      dev.plugin->entry.kind, dev.id, ++gSequence, 1, 0);
    uint8_t none[8] = {};
    dev.plugin->entry.Control(&header, none, sizeof(none));
    return RZERR_NO_ERROR;
}

int RZ_DeviceControl(RzDeviceHandle handle, int message, int argcode, void* buffer, int* length,
                     int capacity) {
    if (rzcore::isRemoteHandle(handle)) {
        return rzcore::remoteControl(handle, message, argcode, buffer, length, capacity);
    }
    OpenDevice dev{};
    if (!lookupDevice(handle, dev)) {
        return RZERR_INVALID_DID;
    }
    int inLength = length ? *length : 0;
    if (int bad = rzcore::checkControlArguments(message, argcode, buffer, inLength, capacity)) {
        return bad;
    }
    uint8_t none[8] = {};
    void* payload = buffer ? buffer : none;
    uint16_t sequence = ++gSequence;
    RzMessageHeader header;
    RZ_MessagePrepare(&header, message, argcode, RZ_KIND_CLIENT, static_cast<uint32_t>(handle),
                      dev.plugin->entry.kind, dev.id, sequence, 1, inLength);
    int r = dev.plugin->entry.Control(&header, payload, buffer ? capacity : 0);
    RzMessageInfo reply{};
    RZ_MessageDecode(&header, &reply);
    bool answered = reply.replyWanted == 0 && reply.answered == sequence;
    if (length) {
        *length = answered ? std::min<int>(reply.length, capacity) : 0;
    }
    if (answered) {
        if (reply.length > capacity) {
            return RZERR_MESSAGE_TOO_LARGE;
        }
        return reply.result;
    }
    return r;
}

int RZ_DeviceControlGet(RzDeviceHandle handle, int message, int argcode, void* buffer,
                        int capacity) {
    int length = 0;
    int r = RZ_DeviceControl(handle, message, argcode, buffer, &length, capacity);
    return r < 0 ? r : length;
}

int RZ_DeviceControlSet(RzDeviceHandle handle, int message, int argcode, const void* buffer,
                        int length) {
    if (length < 0 || (buffer == nullptr && length > 0)) {
        return RZERR_MESSAGE_INVALID_BODY;
    }
    // The handler may write a reply into the buffer; the caller's stays untouched.
    std::vector<uint8_t> copy(static_cast<size_t>(std::max(length, 1024)));
    if (length > 0) {
        std::memcpy(copy.data(), buffer, static_cast<size_t>(length));
    }
    int len = length;
    return RZ_DeviceControl(handle, message, argcode, copy.data(), &len,
                            static_cast<int>(copy.size()));
}

int RZ_DeviceAttachDataStream(RzDeviceHandle handle, RzDataStream* stream) {
    if (rzcore::isRemoteHandle(handle)) {
        return rzcore::remoteAttach(handle, stream);
    }
    OpenDevice dev{};
    if (!lookupDevice(handle, dev)) {
        return RZERR_INVALID_DID;
    }
    return dev.plugin->entry.AttachDataStream(dev.instance, stream);
}

int RZ_DeviceDetachDataStream(RzDeviceHandle handle, RzDataStream* stream) {
    if (rzcore::isRemoteHandle(handle)) {
        return rzcore::remoteDetach(handle, stream);
    }
    OpenDevice dev{};
    if (!lookupDevice(handle, dev)) {
        return RZERR_INVALID_DID;
    }
    return dev.plugin->entry.DetachDataStream(dev.instance, stream);
}

uint32_t RZ_DeviceInstanceId(RzDeviceHandle handle) {
    if (rzcore::isRemoteHandle(handle)) {
        return rzcore::remoteInstanceId(handle);
    }
    OpenDevice dev{};
    return lookupDevice(handle, dev) ? dev.id : 0;
}

}  // extern "C"
