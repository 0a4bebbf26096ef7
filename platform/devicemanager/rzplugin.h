/* The binary contract between the device-manager core and its plug-ins: the entry record,
 * the services table, the instance record and the 32-byte control-message header.
 * Layouts that cross the plug-in boundary are pinned in src/rzlayout.cpp. */
#pragma once

#include <stdint.h>

#include "devicemanager/rzcore.h"

#ifdef __cplusplus
extern "C" {
#endif

#define RZ_INTERFACE_VERSION_A 96
#define RZ_INTERFACE_VERSION_B 256

/* Plug-in kinds (sender / receiver bytes of the header). Kind 0 is a client of the core. */
#define RZ_KIND_CLIENT 0
#define RZ_KIND_GLOVE 3
#define RZ_KIND_LINEMUX 7
#define RZ_KIND_DUMMY 128

#define RZ_INSTANCE_SIZE 216 /* size handed to RZ_ListItemNew for an RzInstance */
#define RZ_NAME_SIZE 128

/* One opened device. Created with RZ_ListItemNew(RZ_INSTANCE_SIZE, destructor). The client
 * count and last result are shared between the core's threads and the plug-in's own
 * thread: touch them atomically (the plug-in frame does). */
typedef struct RzInstance {
    RzListItem item;         /* magic, identifier (the instance handle), links, destructor */
    uint8_t kind;            /* plug-in kind, from the entry record */
    char name[RZ_NAME_SIZE]; /* canonical name, NUL-terminated */
    int32_t verbosity;       /* from the entry record at creation */
    int32_t lastResult;      /* result of the last release or detach (message 4) */
    int32_t clientCount;
    RzFps fps;
    void* priv; /* the plug-in's state block (service 1 / service 2) */
} RzInstance;

/* Handle of an instance in message headers: its list-item identifier. */
#define RZ_InstanceHandle(inst) ((inst)->item.id)

/* Control-message header: 32 bytes, multi-byte fields in network byte order. Use
 * RZ_MessageDecode / RZ_MessageEncode; never copy a whole struct onto it. */
typedef struct RzMessageHeader {
    uint8_t bytes[32];
} RzMessageHeader;

/* Byte offsets in the header. */
#define RZ_HDR_MAGIC 0
#define RZ_HDR_MESSAGE 4
#define RZ_HDR_SENDER_KIND 5
#define RZ_HDR_RECEIVER_KIND 6
#define RZ_HDR_ARGCODE 7
#define RZ_HDR_SENDER_HANDLE 8
#define RZ_HDR_RECEIVER_HANDLE 12
#define RZ_HDR_SEQUENCE 16
#define RZ_HDR_ANSWERED 18
#define RZ_HDR_TIME_MICROS 20
#define RZ_HDR_TIME_SECONDS 24
#define RZ_HDR_REPLY_WANTED 28
#define RZ_HDR_RESULT 29
#define RZ_HDR_LENGTH 30

#define RZ_ARGCODE_TEXT 0x80 /* argcode bit 7: text form; bits 0-6 the item */

/* Message numbers (header byte 4). A plug-in answers the ones its handler table names; the
 * others come back as -13. Meanings differ per plug-in where noted. */
#define RZ_MSG_INFO 0           /* glove: hand, actuators-allowed and wrist flags */
#define RZ_MSG_RELEASE 2        /* one client less */
#define RZ_MSG_RELOAD 3         /* glove: reload calibration; linemux: accepted */
#define RZ_MSG_LAST_RESULT 4    /* last release or detach result, 4 bytes big-endian */
#define RZ_MSG_RESERVED_5 5     /* linemux: accepted, nothing done */
#define RZ_MSG_RESERVED_6 6     /* linemux: accepted, nothing done */
#define RZ_MSG_READ_SETTING 9   /* glove: flag C or sensor mask; linemux: refused */
#define RZ_MSG_WRITE_SETTING 10 /* glove: clear flag C or set the mask; linemux: refused */
#define RZ_MSG_RESERVED_11 11   /* glove: refused (-1) */
#define RZ_MSG_RESERVED_12 12   /* glove: refused (-1) */
#define RZ_MSG_RESERVED_13 13   /* glove: refused (-1) */
#define RZ_MSG_RESERVED_14 14   /* glove: refused (-1) */
#define RZ_MSG_READ 15          /* read an item (values, raw bytes, ...) */
#define RZ_MSG_WRITE                                                                          \
    16                              /* linemux: bytes to the port; glove: actuators or light; \
                                       forcesim: forces */
#define RZ_MSG_READ_CALIBRATION 19  /* glove: calibration; forcesim: hardware offsets */
#define RZ_MSG_WRITE_CALIBRATION 20 /* glove: calibration; forcesim: one offset */
#define RZ_MSG_RESERVED_23 23       /* glove: refused (-1) */
#define RZ_MSG_RESERVED_24 24       /* glove: refused (-1) */

/* Decoded header, host byte order. */
typedef struct RzMessageInfo {
    uint8_t magic[4]; /* "RZI " */
    uint8_t message;
    uint8_t senderKind;
    uint8_t receiverKind;
    uint8_t argcode;
    uint32_t senderHandle;
    uint32_t receiverHandle;
    uint16_t sequence;
    uint16_t answered;
    uint32_t timeMicros; /* milliseconds x 1000 */
    uint32_t timeSeconds;
    uint8_t replyWanted;
    int8_t result;
    uint16_t length; /* payload bytes */
} RzMessageInfo;

RZ_API void RZ_MessageDecode(const RzMessageHeader* header, RzMessageInfo* out);
RZ_API void RZ_MessageEncode(const RzMessageInfo* info, RzMessageHeader* out);
/* A request: magic "RZI ", the given fields, answered 0, result 0, time now. */
RZ_API void RZ_MessagePrepare(RzMessageHeader* out, int message, int argcode, int senderKind,
                              uint32_t senderHandle, int receiverKind, uint32_t receiverHandle,
                              uint16_t sequence, int replyWanted, int length);
/* Stamps the current wall-clock time into the header. */
RZ_API void RZ_MessageStamp(RzMessageHeader* header);

/* Entry slots, in slot order. All are called on the core's threads. */
typedef RzInstance* (*RzdpNew)(const char* name, const char* settings);
typedef int (*RzdpDestroy)(RzInstance* instance);
typedef int (*RzdpMatchName)(const char* name);
typedef int (*RzdpAttachDataStream)(RzInstance* instance, RzDataStream* stream);
typedef int (*RzdpDetachDataStream)(RzInstance* instance, RzDataStream* stream);
/* Header in, reply header out (in place); `payload` holds the request payload and receives
 * the reply payload; `size` is the payload buffer's capacity in bytes. */
typedef int (*RzdpControl)(RzMessageHeader* header, void* payload, int size);

typedef struct RzPluginEntry {
    uint32_t leading;  /* owned by the core */
    uint16_t versionA; /* RZ_INTERFACE_VERSION_A */
    uint16_t versionB; /* RZ_INTERFACE_VERSION_B */
    uint8_t kind;
    const char* name; /* static text, e.g. "dummy V1.00" */
    int16_t reserved;
    int32_t verbosity; /* 0 from the plug-in; the core may raise it at any time (read it
                          atomically at the moment of each message) */
    RzdpNew New;
    RzdpDestroy Destroy;
    RzdpMatchName MatchName;
    RzdpAttachDataStream AttachDataStream;
    RzdpDetachDataStream DetachDataStream;
    RzdpControl Control;
} RzPluginEntry;

/* Services the core offers its plug-ins (slot order fixed). Callable from any thread. */
typedef struct RzCoreServices {
    void* unused0;
    void* (*allocate)(int bytes);                                     /* zeroed block or null */
    void (*release)(void* block);                                     /* frees a block of slot 1 */
    RzInstance* (*open)(const char* deviceText);                      /* RZ_InstanceOpen */
    void (*close)(RzInstance* instance);                              /* RZ_InstanceClose */
    int (*attach)(RzInstance* instance, RzDataStream* stream);        /* RZ_InstanceAttach */
    void (*detach)(RzInstance* instance, RzDataStream* stream);       /* RZ_InstanceDetach */
    int (*deliver)(RzMessageHeader* header, void* payload, int size); /* RZ_MessageDeliver */
    int (*query)(const char* query, char* out, int size);             /* RZ_ConfigQuery */
} RzCoreServices;

/* ----- the services as plain calls (what the table's slots point at) ----- */

/* Opens (or shares) an instance of the plug-in named by the text's "device=" key
 * ("ioman" names linemux; otherwise a plug-in file name such as "dummy", or a type one of
 * the plug-ins matches). The first token of the text is the name given to RZDP_New, the
 * whole text its settings. Null on failure (RZ_GetLastError tells why). */
RZ_API RzInstance* RZ_InstanceOpen(const char* deviceText);
/* Releases one reference taken by RZ_InstanceOpen. Refused (the reference stays, last error
 * -41) from inside the reader callback of a stream attached to the instance, as
 * RZ_DeviceClose is. */
RZ_API void RZ_InstanceClose(RzInstance* instance);
/* RZDP_AttachDataStream / RZDP_DetachDataStream of the instance's plug-in. */
RZ_API int RZ_InstanceAttach(RzInstance* instance, RzDataStream* stream);
RZ_API void RZ_InstanceDetach(RzInstance* instance, RzDataStream* stream);
/* Routes a message to RZDP_Control of the plug-in of the receiver kind. 0 when the handler
 * took it; -12 for a header without "RZI", -18 when no plug-in has that kind, or the
 * handler's negative result. A reply, if any, is in the header and payload. */
RZ_API int RZ_MessageDeliver(RzMessageHeader* header, void* payload, int size);
/* Answers a configuration query from the device manager's key/value file (see README):
 * the answer's length (answer copied into `out`, terminated), -47 when the file is missing
 * or unreadable, -16 when it has no entry for the query, -4 when `size` is too small. */
RZ_API int RZ_ConfigQuery(const char* query, char* out, int size);

/* ----- plug-in exports (declared for plug-in sources; the core finds them by dlsym) ----- */

#if defined(__GNUC__)
#define RZ_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define RZ_PLUGIN_EXPORT
#endif

RZ_PLUGIN_EXPORT int RZ_Plugin_GetEntryPoints(RzPluginEntry* entry);
RZ_PLUGIN_EXPORT int RZ_Plugin_Initialize(RzCoreServices* services, RzPluginEntry* entry);
RZ_PLUGIN_EXPORT int RZ_Plugin_Shutdown(void);

typedef int (*RzPluginGetEntryPointsFn)(RzPluginEntry* entry);
typedef int (*RzPluginInitializeFn)(RzCoreServices* services, RzPluginEntry* entry);
typedef int (*RzPluginShutdownFn)(void);

#ifdef __cplusplus
}
#endif
