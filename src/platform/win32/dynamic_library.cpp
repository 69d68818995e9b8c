#include "platform/dynamic_library.h"

#include <stdexcept>

#include <windows.h>

namespace velmora::vpn::platform {

std::string engineLibraryFileName() { return "sing-box.dll"; }

void DynamicLibrary::load(const std::string& fileName) {
    unload();
    // The bare name: Windows searches the executable's folder first.
    HMODULE module = LoadLibraryA(fileName.c_str());
    if (module == nullptr) {
        const DWORD error = GetLastError();
        throw std::runtime_error("LoadLibraryA(" + fileName + ") failed. Windows error: " + std::to_string(error));
    }
    handle_ = module;
}

void* DynamicLibrary::symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::unload() noexcept {
    if (handle_ == nullptr) return;
    const DWORD saved = GetLastError();
    FreeLibrary(static_cast<HMODULE>(handle_));
    SetLastError(saved);
    handle_ = nullptr;
}

}  // namespace velmora::vpn::platform
