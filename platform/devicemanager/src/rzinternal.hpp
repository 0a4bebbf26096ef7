// Pieces shared by the core's translation units.
#pragma once

#include <cstdint>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"

namespace rzcore {

// Verbosity of the core's own diagnostics (RZ_VERBOSE, RZ_SetVerbosity).
int coreVerbosity();

// True when `p` is a live data stream (registered by the stream module).
bool isStream(const void* p);
// Identifier for a new list item or stream (one sequence for both, never 0).
uint32_t nextItemId();
// True when the calling thread is inside the reader callback of a stream whose owner is
// `instance` (deliveries nest: a callback may feed another stream).
bool inReaderOf(const void* instance);

// A control call's arguments, checked alike for a local and a remote device: RZERR_NO_ERROR
// or the error the call returns.
inline int checkControlArguments(int message, int argcode, const void* buffer, int inLength,
                                 int capacity) {
    if (message < 0 || message > 255 || argcode < 0 || argcode > 255) {
        return RZERR_INVALID_PARAM;
    }
    if (capacity < 0 || inLength < 0 || inLength > capacity || inLength > 0xFFFF ||
        (buffer == nullptr && capacity > 0)) {
        return RZERR_MESSAGE_INVALID_BODY;
    }
    return RZERR_NO_ERROR;
}

// The client calls' remote path (rzremote.cpp): a server text naming an address and the
// handles opened through one.
bool remoteServer(const char* server);
bool isRemoteHandle(RzDeviceHandle handle);
RzDeviceHandle remoteOpen(const char* server, const char* device, const char* type);
int remoteClose(RzDeviceHandle handle);
int remoteControl(RzDeviceHandle handle, int message, int argcode, void* buffer, int* length,
                  int capacity);
int remoteAttach(RzDeviceHandle handle, RzDataStream* stream);
int remoteDetach(RzDeviceHandle handle, RzDataStream* stream);
uint32_t remoteInstanceId(RzDeviceHandle handle);
void remoteCloseAll();

}  // namespace rzcore
