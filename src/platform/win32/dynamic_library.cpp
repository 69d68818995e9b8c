#include "platform/dynamic_library.h"

#include <stdexcept>

#include <windows.h>

namespace velmora::vpn::platform {

std::string sharedLibraryFileName(const std::string& name) { return name + ".dll"; }

void DynamicLibrary::load(const std::string& fileName) {
    unload();
    // Only the executable's folder and System32 are searched: the service
    // runs as LocalSystem, and a library planted in a folder of the PATH
    // that a user can write must never be loaded (docs/security.md). The
    // failure keeps the text of the plain load it replaces.
    HMODULE module =
        LoadLibraryExA(fileName.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        const DWORD error = GetLastError();
        throw std::runtime_error("LoadLibraryA(" + fileName + ") failed. Windows error: " + std::to_string(error));
    }
    library_.reset(module);
}

void* DynamicLibrary::symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library_.get()), name));
}

}  // namespace velmora::vpn::platform
