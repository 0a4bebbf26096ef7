#include "devices/exceptions.hpp"

#include "devicemanager/rzerr.h"

namespace Devices {

// The core owns the one RZERR name table; results of its calls reach us unchanged.
const char* errorName(int code) {
    return RZ_ErrorName(code);
}

}  // namespace Devices
