// Result-code names and the per-thread last error.
#include "devicemanager/rzcore.h"
#include "devicemanager/rzerr.h"

namespace {

const char* const kNames[] = {
    "RZERR_NO_ERROR",
    "RZERR_GENERIC_ERROR",
    "RZERR_INVALID_PARAM",
    "RZERR_OUT_OF_MEMORY",
    "RZERR_BUFFER_TOO_SMALL",
    "RZERR_INVALID_PLUGIN_DIR",
    "RZERR_INVALID_PLUGIN",
    "RZERR_PLUGIN_INCOMPATIBLE_VERSION",
    "RZERR_PLUGIN_NOT_INITIALIZED",
    "RZERR_INVALID_INSTANCE",
    "RZERR_INSTANCE_SHARED_BY_OTHERS",
    "RZERR_INVALID_FUNCTABLE",
    "RZERR_INVALID_MESSAGE",
    "RZERR_MESSAGE_NOT_IMPLEMENTED",
    "RZERR_MESSAGE_INVALID_ARGCODE",
    "RZERR_MESSAGE_INVALID_BODY",
    "RZERR_MESSAGE_INVALID_KEY",
    "RZERR_MESSAGE_TOO_LARGE",
    "RZERR_MESSAGE_DELIVER_ERROR",
    "RZERR_MESSAGE_INCOMPLETE",
    "RZERR_INVALID_DEVICE",
    "RZERR_DEVICE_NOT_READY",
    "RZERR_DEVICE_IN_USE",
    "RZERR_INVALID_SERIAL",
    "RZERR_SERIAL_READ",
    "RZERR_SERIAL_WRITE",
    "RZERR_SERIAL_SELECT",
    "RZERR_SERIAL_READ_TIMEOUT",
    "RZERR_SERIAL_WRITE_TIMEOUT",
    "RZERR_SERIAL_INVALID_BAUDRATE",
    "RZERR_SOCKET_OPEN",
    "RZERR_SOCKET_CLOSE",
    "RZERR_INVALID_SOCKET",
    "RZERR_SOCKET_WRITE",
    "RZERR_SOCKET_READ",
    "RZERR_SOCKET_SELECT",
    "RZERR_SOCKET_ACCEPT",
    "RZERR_SOCKET_READ_TIMEOUT",
    "RZERR_SOCKET_WRITE_TIMEOUT",
    "RZERR_INVALID_URL",
    "RZERR_INVALID_DATASTREAM",
    "RZERR_DATASTREAM_IN_PROGRESS",
    "RZERR_DATASTREAM_READ",
    "RZERR_DATASTREAM_WRITE",
    "RZERR_THREAD_TIMEOUT",
    "RZERR_THREAD_TOO_MANY",
    "RZERR_INVALID_DID",
    "RZERR_INVALID_FILE",
    "RZERR_FILE_OPEN",
    "RZERR_FILE_CLOSE",
    "RZERR_FILE_READ",
    "RZERR_FILE_WRITE",
    "RZERR_FILE_INVALID_CONTENT",
    "RZERR_IPC_TIMEOUT",
    "RZERR_IPC_LOCK",
    "RZERR_IPC_UNLOCK",
};
constexpr int kCount = static_cast<int>(sizeof(kNames) / sizeof(kNames[0]));
static_assert(kCount == 56, "codes 0 to -55");

thread_local int tLastError = 0;

}  // namespace

extern "C" {

const char* RZ_ErrorName(int code) {
    if (code > 0 || code <= -kCount) {
        return "RZERR_UNKNOWN";
    }
    return kNames[-code];
}

int RZ_GetLastError(void) {
    return tLastError;
}

void RZ_SetLastError(int code) {
    tLastError = code;
}

}  // extern "C"
