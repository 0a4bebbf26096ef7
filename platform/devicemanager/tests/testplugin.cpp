// Libraries the loader must refuse: one with another interface version, one without the
// plug-in exports.
#include "devicemanager/rzplugin.h"

#ifndef TESTPLUGIN_NO_EXPORTS
extern "C" {
RZ_PLUGIN_EXPORT int RZ_Plugin_GetEntryPoints(RzPluginEntry* entry) {
    entry->versionA = 95;
    entry->versionB = 256;
    entry->kind = 200;
    entry->name = "old V0.1";
    return 0;
}
RZ_PLUGIN_EXPORT int RZ_Plugin_Initialize(RzCoreServices*, RzPluginEntry*) {
    return 0;
}
RZ_PLUGIN_EXPORT int RZ_Plugin_Shutdown(void) {
    return 0;
}
}
#else
extern "C" RZ_PLUGIN_EXPORT int not_a_plugin(void) {
    return 1;
}
#endif
