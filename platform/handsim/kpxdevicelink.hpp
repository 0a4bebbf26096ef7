#pragma once
// Shared by the toolkit's hardware devices: the device library object behind a kpxIOConn,
// and the device library's exceptions turned into the toolkit's.

#include <exception>
#include <string>

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxioconn.hpp"

namespace kpxdevicelink {

// The device behind conn as T; throws kpxBaseException* naming `what` when conn is null or
// its device is not a T.
template <typename T>
T* deviceOf(kpxIOConn* conn, const char* what, const char* kind) {
    if (!conn) {
        // Most likely the lookup that just failed: say why it did.
        std::string why = kpxIOConn::lastError();
        throw new kpxBaseException(std::string(what) + ": no connection" +
                                   (why.empty() ? "" : " (" + why + ")"));
    }
    auto* device = dynamic_cast<T*>(conn->getDevice());
    if (!device)
        throw new kpxBaseException(std::string(what) + ": \"" + conn->getName() + "\" is not " +
                                   kind);
    return device;
}

// Runs f; a device library exception comes out as a kpxBaseException* naming `what`.
template <typename F>
void guarded(const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        throw new kpxBaseException(std::string(what) + ": " + e.what());
    }
}

}  // namespace kpxdevicelink
