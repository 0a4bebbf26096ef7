#pragma once
// Exceptions of the device access library: each carries its message text and nothing else,
// is thrown by value and caught by reference.

#include <exception>
#include <string>

namespace Devices {

class X_DeviceException : public std::exception {
  public:
    explicit X_DeviceException(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }

  private:
    std::string m_message;
};

#define DEVICES_EXCEPTION(Name)                                                       \
    class Name : public X_DeviceException {                                           \
      public:                                                                         \
        explicit Name(std::string message) : X_DeviceException(std::move(message)) {} \
    }

// Calibration missing or incomplete.
DEVICES_EXCEPTION(X_CalibNotFound);
// The optical server's socket cannot be set up.
DEVICES_EXCEPTION(X_ConnectionError);
// The device manager refuses a device or answers an error code; also a registry text too
// long for its connection field.
DEVICES_EXCEPTION(X_FailedConnection);
// The registry's type name is none the library knows.
DEVICES_EXCEPTION(X_IllegalDeviceType);
// The device entry has no type name.
DEVICES_EXCEPTION(X_RegistryFileError);
// The device key is missing or holds no connection sub-key.
DEVICES_EXCEPTION(X_UnresolvedConnection);

#undef DEVICES_EXCEPTION

// Name of a device-manager result code: code -N gives the N-th name (0 to -55); other codes
// give "RZERR_UNKNOWN".
const char* errorName(int code);

}  // namespace Devices
