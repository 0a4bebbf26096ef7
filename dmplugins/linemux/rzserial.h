/* Serial port functions exported by the linemux plug-in besides the plug-in exports.
 * Resolve them with dlsym from the loaded linemux library. */
#pragma once

#include "devicemanager/rzplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

#define RZ_SERIAL_MAGIC 0x00534552u /* "RES" */

typedef struct RzSerialPort RzSerialPort; /* owned by the instance that opened it */

/* Opens and configures a port ("baudrate", "eventchar", "eventcharval" settings). Null on
 * failure; RZ_GetLastError tells why (-29 unsupported baud rate, -20 no such device,
 * -22 in use, -1 line settings refused, -39 bad settings text). */
RZ_PLUGIN_EXPORT RzSerialPort* RZ_SerialOpen(const char* path, const char* settings);
/* Stops a watcher, closes the port, frees it. 0, or -1 when the system refused to close;
 * an invalid port gives 0. */
RZ_PLUGIN_EXPORT int RZ_SerialClose(RzSerialPort* port);
RZ_PLUGIN_EXPORT int RZ_SerialFlush(RzSerialPort* port, int clearInput, int clearOutput);
/* Bytes read (waits up to 1000 ms for the first), -20 invalid port, -24 read failed. */
RZ_PLUGIN_EXPORT int RZ_SerialRead(RzSerialPort* port, void* buffer, int count);
/* count, -20 invalid port, -25 write failed, -28 not written within the time-out. */
RZ_PLUGIN_EXPORT int RZ_SerialWrite(RzSerialPort* port, const void* buffer, int count);
/* Starts the watcher that feeds `stream`. 0; -1 no thread; -20; -40 bad stream; -22 while
 * a watcher runs. A watcher that ended by itself (a hang-up or read error, announced on its
 * stream before reason 3) no longer counts: the port can be watched again. */
RZ_PLUGIN_EXPORT int RZ_SerialWatch(RzSerialPort* port, RzDataStream* stream);
/* Stops the watcher of `stream` and waits for it. 0; -40 when `stream` is not the watched
 * one; -22 when called on the watcher's own thread (from a synchronous reader callback). */
RZ_PLUGIN_EXPORT int RZ_SerialUnwatch(RzSerialPort* port, RzDataStream* stream);

typedef RzSerialPort* (*RzSerialOpenFn)(const char*, const char*);
typedef int (*RzSerialCloseFn)(RzSerialPort*);
typedef int (*RzSerialFlushFn)(RzSerialPort*, int, int);
typedef int (*RzSerialReadFn)(RzSerialPort*, void*, int);
typedef int (*RzSerialWriteFn)(RzSerialPort*, const void*, int);
typedef int (*RzSerialWatchFn)(RzSerialPort*, RzDataStream*);

#ifdef __cplusplus
}
#endif
