#include "platform/dynamic_library.h"

#include <windows.h>

namespace velmora::vpn::platform {

std::string sharedLibraryFileName(const std::string& name) { return name + ".dll"; }

bool DynamicLibrary::load(const std::string& fileName, SystemError& error) {
    unload();
    // Only the executable's folder and System32 are searched: the service
    // runs as LocalSystem, and a library planted in a folder of the PATH
    // that a user can write must never be loaded (docs/security.md). The
    // failure keeps the name of the plain load it replaces.
    HMODULE module =
        LoadLibraryExA(fileName.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        error = {"LoadLibraryA", GetLastError(), {}};
        return false;
    }
    library_.reset(module);
    return true;
}

void* DynamicLibrary::symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library_.get()), name));
}

}  // namespace velmora::vpn::platform
