#pragma once

#include <string>

namespace velmora::vpn::platform {

// The engine library's file name on this platform ("sing-box.dll" on Windows).
std::string engineLibraryFileName();

// One loaded shared library, freed when the object is destroyed or unloaded.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { unload(); }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads `fileName`, searching the executable's own folder first. Throws
    // std::runtime_error naming the library and carrying the system's reason.
    void load(const std::string& fileName);
    // The address of an exported function, or null when it is not exported.
    void* symbol(const char* name) const;
    void unload() noexcept;
    bool loaded() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

}  // namespace velmora::vpn::platform
