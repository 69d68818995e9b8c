#include "platform/data_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/system_folder.h"

namespace velmora::vpn::platform {
namespace {

// Lists the open folder through a descriptor of its own (closedir closes
// it), naming nothing by path; links and folders in it hold 0 bytes.
bool listFolder(int folder, const std::string& shown, std::vector<FolderEntry>& contents, SystemError& error) {
    OwnedHandle listed(fcntl(folder, F_DUPFD_CLOEXEC, 0));
    DIR* const stream = listed ? fdopendir(listed.get()) : nullptr;
    if (stream == nullptr) {
        error = {"fdopendir", static_cast<std::uint32_t>(errno), " (" + shown + ")"};
        return false;
    }
    listed.release();  // closedir closes it with the stream
    for (const dirent* entry = readdir(stream); entry != nullptr; entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        const bool file = fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
        contents.push_back({name, file ? static_cast<std::uint64_t>(info.st_size) : 0});
    }
    closedir(stream);
    return true;
}

}  // namespace

std::string machineDataFolder(const std::string&, const std::string& posixName) { return "/var/lib/" + posixName; }

// The user's folder is root's and mode 0700: the engine, running as root,
// keeps the user's cache there, and no user, that one included, lists or
// reads it.
std::optional<std::string> userDataFolder(const std::string& dataFolder, const CallerIdentity& caller,
                                          SystemError& error, std::vector<FolderEntry>* contents) {
    const std::string uid = caller.user.rfind("uid ", 0) == 0 ? caller.user.substr(4) : std::string();
    if (uid.empty() || uid.find_first_not_of("0123456789") != std::string::npos) {
        error = refusal("The caller \"" + caller.user + "\" has no user id");
        return std::nullopt;
    }
    const std::string path = dataFolder + "/users/" + uid;
    const OwnedHandle folder = openSystemFolder(path, true, error, 0700);
    if (!folder) return std::nullopt;
    if (contents != nullptr && !listFolder(folder.get(), path, *contents, error)) return std::nullopt;
    return path;
}

}  // namespace velmora::vpn::platform
