#include "platform/dynamic_library.h"

#include <stdexcept>

#include <dlfcn.h>
#include <unistd.h>

#include "platform/executable_path.h"
#include "platform/text.h"

namespace velmora::vpn::platform {
namespace {

// The folder of the running executable, with its trailing slash, or empty.
std::string executableFolder() {
    const auto path = executablePath();
    if (!path) return {};
    const std::string text = toUtf8(*path);
    return text.substr(0, text.rfind('/') + 1);
}

}  // namespace

std::string engineLibraryFileName() { return "libsing-box.so"; }

void DynamicLibrary::load(const std::string& fileName) {
    unload();
    // Like Windows, look next to the executable before the system's search
    // path. This is done by hand rather than through RUNPATH because a
    // sanitizer's dlopen interceptor hides the executable's RUNPATH.
    std::string path = fileName;
    if (fileName.find('/') == std::string::npos) {
        const std::string local = executableFolder() + fileName;
        if (!local.empty() && access(local.c_str(), F_OK) == 0) path = local;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        throw std::runtime_error("dlopen(" + fileName + ") failed: " + (reason != nullptr ? reason : "unknown error"));
    }
    handle_ = handle;
}

void* DynamicLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

void DynamicLibrary::unload() noexcept {
    if (handle_ == nullptr) return;
    dlclose(handle_);
    handle_ = nullptr;
}

}  // namespace velmora::vpn::platform
