#pragma once
// Connecting a demo's toolkit device: a failure is shown in the demos' message box, `text`
// followed by the exception's, and gives null so the demo can end.

#include <memory>
#include <string>

#include "framework/demomessage.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxioconn.hpp"

template <typename Device>
std::unique_ptr<Device> connectDemoDevice(kpxIOConn* conn, const char* text) {
    try {
        return std::make_unique<Device>(conn, true);
    } catch (kpxBaseException* e) {
        const std::string message = std::string(text) + e->getMessage();
        delete e;
        demoMessageBox("Message", message.c_str());
        return nullptr;
    }
}

// The default configuration's device of the right-hand name, else of the left-hand one
// (then *out_left is set). Null when neither exists.
inline kpxIOConn* findRightOrLeft(const char* right, const char* left, bool* out_left = nullptr) {
    kpxIOConn* conn = kpxIOConn::getDefault(right);
    if (conn == nullptr) {
        conn = kpxIOConn::getDefault(left);
        if (out_left != nullptr && conn != nullptr) {
            *out_left = true;
        }
    }
    return conn;
}
