#pragma once
// Under AddressSanitizer only: keeps Mesa's GL driver loaded until exit. The driver holds
// context buffers until the process ends and is unloaded before the leak check, which then
// cannot name it for the driver's suppression (cmake/lsan.supp). Call once a GL context
// exists. Elsewhere it does nothing.

#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>
#include <link.h>

#include <cstring>
#endif

inline void demoPinGlDriverForLeakCheck() {
#if defined(__SANITIZE_ADDRESS__)
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (std::strstr(name, "_dri.so") != nullptr ||
                std::strstr(name, "libGLX_mesa") != nullptr) {
                dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            }
            return 0;
        },
        nullptr);
#endif
}
