#pragma once

#include <string>

#include "platform/system_error.h"
#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

// A shared library's file name on this platform: "NAME.dll" on Windows,
// "libNAME.so" elsewhere.
std::string sharedLibraryFileName(const std::string& name);

// One loaded shared library, freed when the object is destroyed or unloaded.
class DynamicLibrary {
public:
    // Loads `fileName` from the executable's own folder. False with the
    // failure: the loader's call and its code, or (POSIX) the loader's reason
    // as the detail.
    bool load(const std::string& fileName, SystemError& error);
    // The address of an exported function, or null when it is not exported.
    void* symbol(const char* name) const;
    void unload() noexcept { library_.reset(); }

private:
    LibraryHandle library_;
};

}  // namespace velmora::vpn::platform
