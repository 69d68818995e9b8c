#include "platform/dynamic_library.h"

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

std::string sharedLibraryFileName(const std::string& name) { return "lib" + name + ".so"; }

bool DynamicLibrary::load(const std::string& fileName, SystemError& error) {
    unload();
    // The service runs as root: a bare file name is loaded from the
    // executable's own folder by its absolute path, and nowhere else. The
    // system's search (LD_LIBRARY_PATH, whose empty entry is the current
    // folder, and the library folders) could hand it anybody's library.
    const std::string path = fileName.find('/') == std::string::npos ? executableFolder() + fileName : fileName;
    const bool absolute = !path.empty() && path.front() == '/';
    void* handle = absolute ? dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (handle == nullptr) {
        const char* reason = absolute ? dlerror() : "the executable's folder is unknown";
        error = {"dlopen", {}, reason != nullptr ? reason : "unknown error"};
        return false;
    }
    library_.reset(handle);
    return true;
}

void* DynamicLibrary::symbol(const char* name) const { return dlsym(library_.get(), name); }

}  // namespace velmora::vpn::platform
