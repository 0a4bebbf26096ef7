// Layouts that cross the plug-in boundary. Offsets of existing fields must not change.
#include <cstddef>

#include "devicemanager/rzplugin.h"

static_assert(sizeof(RzMessageHeader) == 32);
static_assert(sizeof(RzListItem) == 40);
static_assert(offsetof(RzListItem, magic) == 0);
static_assert(offsetof(RzInstance, item) == 0);
static_assert(offsetof(RzInstance, kind) == 40);
static_assert(offsetof(RzInstance, name) == 41);
static_assert(offsetof(RzInstance, verbosity) == 172);
static_assert(offsetof(RzInstance, lastResult) == 176);
static_assert(offsetof(RzInstance, clientCount) == 180);
static_assert(offsetof(RzInstance, fps) == 184);
static_assert(offsetof(RzInstance, priv) == 208);
static_assert(sizeof(RzInstance) == RZ_INSTANCE_SIZE);
static_assert(offsetof(RzPluginEntry, leading) == 0);
static_assert(offsetof(RzPluginEntry, versionA) == 4);
static_assert(offsetof(RzPluginEntry, versionB) == 6);
static_assert(offsetof(RzPluginEntry, kind) == 8);
static_assert(offsetof(RzPluginEntry, name) == 16);
static_assert(offsetof(RzPluginEntry, reserved) == 24);
static_assert(offsetof(RzPluginEntry, verbosity) == 28);
static_assert(offsetof(RzPluginEntry, New) == 32);
static_assert(offsetof(RzPluginEntry, Control) == 72);
static_assert(sizeof(RzCoreServices) == 9 * sizeof(void*));
