#pragma once

#include <string>

#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

// A shared library's file name on this platform: "NAME.dll" on Windows,
// "libNAME.so" elsewhere.
std::string sharedLibraryFileName(const std::string& name);

// One loaded shared library, freed when the object is destroyed or unloaded.
class DynamicLibrary {
public:
    // Loads `fileName`, searching the executable's own folder first. Throws
    // std::runtime_error naming the library and carrying the system's reason.
    void load(const std::string& fileName);
    // The address of an exported function, or null when it is not exported.
    void* symbol(const char* name) const;
    void unload() noexcept { library_.reset(); }

private:
    LibraryHandle library_;
};

}  // namespace velmora::vpn::platform
