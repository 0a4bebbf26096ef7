// RZ_GetKeyValue, RZ_GetStringToken and RZ_GetStringIndex on arbitrary text.
#include <cstdint>
#include <string>

#include "devicemanager/rzcore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
    int i = 0, b = 0;
    unsigned char c = 0;
    double d = 0;
    RzKeyValue table[] = {
        {RZ_KV_INT, "baudrate", &i, "115200"},  {RZ_KV_BOOL, "eventchar", &b, "false"},
        {RZ_KV_BYTE, "eventcharval", &c, ""},   {RZ_KV_DOUBLE, "upper", &d, "1."},
        {RZ_KV_END, nullptr, nullptr, nullptr},
    };
    RZ_GetKeyValue(text.c_str(), table, 1);
    RZ_GetKeyValue(text.c_str(), table, 0);
    char token[16];
    const char* rest = text.c_str();
    for (int n = 0; rest != nullptr && n < 64; ++n) {
        rest = RZ_GetStringToken(rest, ":\n", token, sizeof(token));
        const RzStringIndex names[] = {{0, "dummy"}, {0, "vexadummy"}, {-1, nullptr}};
        RZ_GetStringIndex(token, names);
    }
    return 0;
}
