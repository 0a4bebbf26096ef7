/* Client side of the device manager: plug-in loading and the calls that open, control and
 * close devices. The core loads its plug-ins on the first call that needs them. */
#pragma once

#include <stdint.h>

#include "devicemanager/rzcore.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t RzDeviceHandle; /* 0 = no device */

/* Loads every plug-in library of `folder` (null: RZ_PLUGIN_PATH if set, else the folder
 * "rzplugins" next to the core library). Does nothing when plug-ins are already loaded.
 * Gives the number of plug-ins loaded, or -5 when the folder cannot be read. Libraries
 * that are not plug-ins (-6) or of another interface version (-7) are skipped. */
RZ_API int RZ_LoadPlugins(const char* folder);
/* Closes every open device, shuts each plug-in down (RZ_Plugin_Shutdown) and unloads it. */
RZ_API void RZ_UnloadPlugins(void);
/* The folder RZ_LoadPlugins(null) reads, copied into `out`; its length, or -4. */
RZ_API int RZ_GetPluginFolder(char* out, int size);
/* Sets the verbosity of every loaded plug-in (and of plug-ins loaded later). The variable
 * RZ_VERBOSE sets the starting value. */
RZ_API void RZ_SetVerbosity(int level);

typedef struct RzPluginInfo {
    char file[256];  /* library path */
    char module[64]; /* file name without "lib" and ".so": "linemux", "dummy", ... */
    char name[64];   /* entry-record name: "Serial V1.20", ... */
    int kind;
    int versionA;
    int versionB;
} RzPluginInfo;

/* Number of loaded plug-ins (loads them first if needed). */
RZ_API int RZ_PluginCount(void);
/* 0 and the info of plug-in `index` (load order), or -2. */
RZ_API int RZ_GetPluginInfo(int index, RzPluginInfo* out);

/* Opens or shares a device. `server` ("server=host:port=n") names the device-manager
 * service: with a host and a port from 1 to 65535 the device is opened in the dmserver
 * listening there (an IPv6 host in brackets: "server=[::1]:port=7800"); any other text
 * (no port, port 0 or empty, as "server=localhost:port=") serves in-process. Remote
 * handles never equal in-process ones; every call below takes either. `device` is
 * "port:key=value:...", `type` a device type ("dummy", "VexaGlove", "serial1", ...) that
 * the first plug-in whose RZDP_MatchName accepts it serves (else the plug-in whose module
 * name it is, as "linemux" with a port as the device). 0 on failure (see
 * RZ_GetLastError). */
RZ_API RzDeviceHandle RZ_DeviceOpen(const char* server, const char* device, const char* type);
/* Releases the device (message 2 to its plug-in). 0, or -46 for an unknown handle.
 * Called from inside the reader callback of a stream attached to the device (whichever
 * thread delivers it), the close is refused with -41 and the device stays open: the reader
 * may be running on the device's own thread, which the release stops and waits for. Close
 * it once the callback has returned. */
RZ_API int RZ_DeviceClose(RzDeviceHandle handle);
/* Sends `message` with `argcode` and the *length bytes of `buffer` (capacity `capacity`),
 * waits for the handler. Gives the reply's result (0 or negative); the reply payload is in
 * `buffer` and its length in *length (0 when the plug-in did not reply). -46 for an unknown
 * handle, -15 when *length exceeds capacity or 65535, -17 when the plug-in claims a reply
 * longer than the buffer. */
RZ_API int RZ_DeviceControl(RzDeviceHandle handle, int message, int argcode, void* buffer,
                            int* length, int capacity);
/* Request without payload; gives the reply's length (>= 0) or a negative result. */
RZ_API int RZ_DeviceControlGet(RzDeviceHandle handle, int message, int argcode, void* buffer,
                               int capacity);
/* Request with `length` bytes of payload; gives the result. */
RZ_API int RZ_DeviceControlSet(RzDeviceHandle handle, int message, int argcode, const void* buffer,
                               int length);
/* Attaches / detaches a client stream to the device's instance (RZDP_AttachDataStream). */
RZ_API int RZ_DeviceAttachDataStream(RzDeviceHandle handle, RzDataStream* stream);
RZ_API int RZ_DeviceDetachDataStream(RzDeviceHandle handle, RzDataStream* stream);
/* Identifier of the plug-in instance behind a handle (devices opened with the same device
 * text share one); 0 for an unknown handle. */
RZ_API uint32_t RZ_DeviceInstanceId(RzDeviceHandle handle);
/* The plug-ins of the dmserver named by `server`: up to `capacity` infos (file left empty)
 * and the number the server has, or a negative result (-39 for a text naming no server,
 * -37 when it does not answer in time). Remote calls wait RZ_SERVER_TIMEOUT_MS (default
 * 10000) milliseconds at most for each reply. */
RZ_API int RZ_GetServerPlugins(const char* server, RzPluginInfo* out, int capacity);

#ifdef __cplusplus
}
#endif
