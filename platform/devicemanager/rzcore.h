/* VXS_DeviceManagerCore: lists, data streams, threads, text parsing, diagnostics, time and
 * byte-order helpers shared by the device-manager plug-ins and their clients.
 *
 * Every function is safe to call from any thread unless noted. Pointers handed in are
 * checked against the core's own records before use, so a stale or foreign list, item or
 * stream gives an error code instead of touching memory. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "devicemanager/rzerr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* First 32-bit word of every list, list item and data stream. */
#define RZ_LIST_MAGIC 0x4C495354u

/* ------------------------------------------------------------------ lists */

/* Destructor of a list item, run by RZ_ListDestroy after the item has been unlinked.
 * The core frees the item's memory after the destructor returns unless the destructor
 * (or anything it calls) already deleted the item. */
typedef void (*RzItemDestructor)(void* item);

/* Opening of every list item. Fields after magic are owned by the core. */
typedef struct RzListItem {
    uint32_t magic; /* RZ_LIST_MAGIC while the item is alive */
    uint32_t id;    /* non-zero identifier issued at creation, unique in the process */
    void* list;     /* list the item is a member of, null when none */
    void* prev;
    void* next;
    RzItemDestructor destructor; /* may be cleared by the owner before deleting the item */
} RzListItem;

/* A list: only the magic is public. */
typedef struct RzList {
    uint32_t magic;
} RzList;

/* New empty list, null on failure. */
RZ_API RzList* RZ_ListNew(void);
/* Unlinks every item in order, runs its destructor, frees it; then frees the list.
 * 0, or -2 for a pointer that is not a live list. */
RZ_API int RZ_ListDestroy(RzList* list);
/* Zero-filled record of `size` bytes (at least sizeof(RzListItem)) whose opening is set up
 * (magic, id, destructor); not yet a member of any list. Null on failure. */
RZ_API void* RZ_ListItemNew(int size, RzItemDestructor destructor);
/* Appends an item (from RZ_ListItemNew, or a data stream) to a list. 0; -2 for a bad list
 * or item; -22 when the item already belongs to a list. */
RZ_API int RZ_ListAddItem(RzList* list, void* item);
/* Unlinks the item from the list. An item from RZ_ListItemNew is then freed (its
 * destructor is NOT run); a data stream is only unlinked. 0, or -2 when the item is not a
 * member of that list. */
RZ_API int RZ_ListDeleteItem(RzList* list, void* item);
/* 1 when the item is a member of the list, else 0. */
RZ_API int RZ_ListItemIsOfList(RzList* list, const void* item);
/* Number of items, -2 for a bad list. */
RZ_API int RZ_ListCount(RzList* list);
/* Walking a list: hold the list's lock (recursive; other list calls from the same thread
 * may nest) while using RZ_ListFirst / RZ_ListNext and the items found. Deleting the
 * current item is allowed when its successor was fetched first. */
RZ_API void RZ_ListLock(RzList* list);
RZ_API void RZ_ListUnlock(RzList* list);
RZ_API void* RZ_ListFirst(RzList* list);
RZ_API void* RZ_ListNext(RzList* list, const void* item);
/* Identifier of an item (0 for a bad pointer) and the member of a list with an identifier. */
RZ_API uint32_t RZ_ListItemId(const void* item);
RZ_API void* RZ_ListFindById(RzList* list, uint32_t id);
/* Member of an instance list (items are RzInstance, devicemanager/rzplugin.h) whose name
 * field equals `name` exactly, or null. */
RZ_API void* RZ_GetInstanceByName(RzList* list, const char* name);

/* ------------------------------------------------------------ data streams */

typedef struct RzDataStream RzDataStream;

/* Reasons delivered to a stream's reader callback. Negative reasons are RZERR codes
 * announced by the feeding side (for example -27 for a silent serial line). */
#define RZ_STREAM_DATA 0 /* bytes were added */
#define RZ_STREAM_QUIT 3 /* the feeding side detached or is ending */
#define RZ_STREAM_FULL 4 /* the ring is full; read or purge it */

/* Reader callback: called with the stream and a reason. For reason 0 the result is given
 * back by RZ_DataStreamIn in synchronous mode (-41 is the usual "records consumed"). */
typedef int (*RzStreamReader)(RzDataStream* stream, int reason);

/* Pull function for RZ_DataStreamIn: reads up to `count` bytes of `device` into `buffer`;
 * gives the count read (0 when nothing is there) or a negative code. */
typedef int (*RzReadFunction)(void* device, void* buffer, int count);

/* Creation flags of RZ_DataStreamNewEx. */
#define RZ_STREAM_SYNCHRONOUS 0     /* reasons delivered on the feeding thread */
#define RZ_STREAM_OWN_THREAD 1      /* reasons queued and delivered on the stream's own thread */
#define RZ_STREAM_ANNOUNCE_THREAD 2 /* own thread, plus a second one for announcements */

/* Stream with a ring of `size` bytes (1..1048576). Reasons are delivered on the thread
 * that feeds or announces (synchronous mode). Null on failure. */
RZ_API RzDataStream* RZ_DataStreamNew(int size, RzStreamReader reader, void* user);
/* Same with flags: RZ_STREAM_OWN_THREAD delivers every reason, in order, on a thread of
 * the stream, so a reader may block without stalling the feeder. Repeated reason 0
 * deliveries are merged. RZ_STREAM_ANNOUNCE_THREAD delivers data and full (reasons 0 and 4)
 * on one thread and every other reason (announcements such as -27 or 3) on a second, so a
 * reader handling an announcement may wait for a reply that a data delivery decodes
 * meanwhile; the reader then runs on two threads at once. dmctl's client stream runs on its
 * own thread; nothing in the project asks for the announcement thread. */
RZ_API RzDataStream* RZ_DataStreamNewEx(int size, RzStreamReader reader, void* user, int flags);
/* Unlinks the stream from any list, stops further deliveries, waits for deliveries in
 * flight on other threads, then frees it (from inside its own reader callback the free
 * happens when the callback returns). 0, or -40 for a bad stream. */
RZ_API int RZ_DataStreamDestroy(RzDataStream* stream);
/* User pointer given at creation (null for a bad stream). */
RZ_API void* RZ_DataStreamUser(RzDataStream* stream);
/* Owner instance recorded by the plug-in the stream is attached to (null when none). */
RZ_API int RZ_DataStreamSetOwner(RzDataStream* stream, void* owner);
RZ_API void* RZ_DataStreamOwner(RzDataStream* stream);
/* 1 when `stream` is a live data stream, else 0. */
RZ_API int RZ_DataStreamIsValid(const void* stream);

/* Pulls bytes through `readfn(device, ...)` into free ring space and delivers reason 0.
 * Ring full: reason 4 is delivered first (the reader may read or purge); if still full the
 * result is -41 (harmless, nothing read). Gives the reader's result in synchronous mode
 * when it is negative, else the count pulled; a negative read result is given back as is.
 * -40 for a bad stream. */
RZ_API int RZ_DataStreamIn(RzDataStream* stream, RzReadFunction readfn, void* device);
/* Length of the next complete record ending in byte `terminator` (the length counts the
 * terminator), looking at no more than `maxLength` bytes; -1 when there is none. */
RZ_API int RZ_DataStreamScan(RzDataStream* stream, int terminator, int maxLength);
/* Read: moves up to `length` bytes out of the ring; gives the count moved.
 * Write: all `length` bytes or none (records are never split). When they do not fit,
 * reason 4 is delivered and the write tried again; 0 then means a stream nobody empties
 * (a short write: the writer drops the stream). A write delivers reason 0.
 * Both: -40 for a bad stream, -2 for bad arguments. */
RZ_API int RZ_DataStreamRead(RzDataStream* stream, void* buffer, int length);
RZ_API int RZ_DataStreamWrite(RzDataStream* stream, const void* buffer, int length);
/* Bytes waiting to be read. */
RZ_API int RZ_DataStreamAvailable(RzDataStream* stream);
/* Discards every byte in the ring (the answer to reason 4). */
RZ_API int RZ_DataStreamPurge(RzDataStream* stream);
/* Delivers `reason` to the reader callback. 0, or -40. */
RZ_API int RZ_DataStreamAnnounce(RzDataStream* stream, int reason);

/* ----------------------------------------------------------------- threads */

typedef struct RzThread RzThread;
typedef int (*RzThreadFunction)(void* argument);

/* Starts `fn(argument)` on a new thread; null when no thread could be made. */
RZ_API RzThread* RZ_CreateThread(RzThreadFunction fn, void* argument);
/* Waits up to `timeoutMs` for the thread to end. 0: it ended and the handle is freed.
 * -44: still running, the handle stays valid (await again). -2 for a bad handle or when
 * called by the thread itself. */
RZ_API int RZ_AwaitThread(RzThread* thread, int timeoutMs);
/* Last resort: cancels the thread and waits for it (the handle is freed). A cancelled
 * thread may leave locks held; the project's plug-ins wake their threads instead. */
RZ_API int RZ_KillThread(RzThread* thread);
/* Ends the calling thread with `code` (as returning from its function would). */
RZ_API void RZ_ExitThread(int code);
/* Raises the thread to the highest scheduling priority the process may use. 0 when
 * raised, -1 when the system refused (the thread keeps running at its priority). */
RZ_API int RZ_SetThreadPriorityHighest(RzThread* thread);
/* 1 when the calling thread is `thread`. */
RZ_API int RZ_IsCurrentThread(RzThread* thread);

/* ------------------------------------------------------------- key/value */

#define RZ_KV_BYTE 0   /* destination unsigned char: number 0..255 (hex with 0x) or one character */
#define RZ_KV_INT 1    /* destination int: decimal or 0x hexadecimal */
#define RZ_KV_BOOL 3   /* destination int (0/1): on/off, true/false, yes/no, 1/0 */
#define RZ_KV_DOUBLE 4 /* destination double */
#define RZ_KV_END (-1)

typedef struct RzKeyValue {
    int32_t type;            /* RZ_KV_..., RZ_KV_END ends the table */
    const char* key;         /* compared without regard to case */
    void* destination;       /* see the type */
    const char* defaultText; /* parsed for absent keys when defaults are asked for; "" = 0 */
} RzKeyValue;

/* Parses "key=value" pairs separated by ':' or newline into the table. The first token
 * may be a bare name (a port or device); keys not in the table are ignored (device texts
 * carry keys for other plug-ins); blanks around keys and values are dropped. With
 * `useDefaults` non-zero, absent keys get their default text. Gives 1 when every value
 * (and default) parsed, 0 otherwise (an invalid device text). A null text is empty. */
RZ_API int RZ_GetKeyValue(const char* text, RzKeyValue* table, int useDefaults);

/* ---------------------------------------------------------------- strings */

typedef struct RzStringIndex {
    int32_t index;    /* -1 ends the table */
    const char* name; /* null at the end */
} RzStringIndex;

/* Copies the text before the first separator into `out` (cut to `size`-1 characters,
 * always terminated). Gives the position after that separator, or null when the token ran
 * to the end of the text (or `text` is null). */
RZ_API const char* RZ_GetStringToken(const char* text, const char* separators, char* out, int size);
/* Index of the first entry whose name equals `name` without regard to case, else -1. */
RZ_API int RZ_GetStringIndex(const char* name, const RzStringIndex* table);
/* Name of the first entry with `index`, else null. */
RZ_API const char* RZ_GetStringFromIndex(int index, const RzStringIndex* table);

/* ------------------------------------------------------------ diagnostics */

/* printf to standard error (one message per call, not interleaved with other threads). */
RZ_API void RZ_Verbose(const char* format, ...) __attribute__((format(printf, 1, 2)));
/* "<prefix>: <RZERR name> (<code>)\n" to standard error. */
RZ_API void RZ_ErrorPrint(int code, const char* prefix);
/* "<prefix> <n> bytes: xx xx ...\n" to standard error. */
RZ_API void RZ_PrintBuffer(const void* bytes, int length, const char* prefix);

/* ------------------------------------------------------------ time, rates */

/* Seconds on a monotonic clock. */
RZ_API double RZ_GetCurrentTime(void);

/* Rate record: counts updates and stores a new rate once per second. */
typedef struct RzFps {
    double reference; /* seconds (RZ_GetCurrentTime) at the start of the current count */
    double rate;      /* last measured rate, updates per second */
    int32_t count;    /* updates since `reference` */
    int32_t reserved;
} RzFps;

RZ_API void RZ_FpsInit(RzFps* fps, double rate);
/* Counts one update; gives 1 when a new rate was stored (at least 1 s since the
 * reference), else 0. */
RZ_API int RZ_FpsUpdate(RzFps* fps);

/* --------------------------------------------------------- wire doubles */

/* IEEE 754 double in 8 bytes, most significant byte first; `place` may be unaligned. */
RZ_API void RZ_PutDouble(void* place, double value);
RZ_API double RZ_GetDouble(const void* place);

/* ------------------------------------------------------------- matrices */

/* 4x4 matrices are 16 doubles, row by row, used with row vectors (p' = p M): rows 0-2 are
 * the images of the x, y, z axes and elements 12-14 the translation.
 * RZ_Mat4Rotate:    m = R(axis, radians) m   (axis 'x', 'y' or 'z'; others leave m)
 * RZ_Mat4Translate: m = T(x, y, z) m
 * RZ_Mat4MultMat4:  out = a b (out may be a or b)
 * RZ_Pos3Cross:     out = a x b (out may be a or b) */
RZ_API void RZ_Mat4Identity(double m[16]);
RZ_API void RZ_Mat4Rotate(double m[16], char axis, double radians);
RZ_API void RZ_Mat4Translate(double m[16], double x, double y, double z);
RZ_API void RZ_Mat4MultMat4(const double a[16], const double b[16], double out[16]);
RZ_API void RZ_Pos3Cross(const double a[3], const double b[3], double out[3]);

/* ---------------------------------------------------------- last error */

/* Per-thread code of the last refusal (set by the core's client calls and by plug-ins when
 * they refuse an open: for example -29 for an unsupported baud rate). */
RZ_API int RZ_GetLastError(void);
RZ_API void RZ_SetLastError(int code);

#ifdef __cplusplus
}
#endif
