#include "platform/trusted_group.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/posix/system_folder.h"

namespace velmora::vpn::platform {

std::optional<std::string> readTrustedGroup(const SettingPlace& setting, SystemError& error) {
    error = {};
    const std::string& place = setting.file;
    const std::size_t slash = place.rfind('/');
    if (slash == std::string::npos) return failWith(error, refusal(place + " is not an absolute path"));
    OwnedHandle folder = openSystemFolder(slash == 0 ? "/" : place.substr(0, slash), false, error);
    if (!folder) {
        // No folder, no setting: an operator who names no group made none.
        if (error.call != nullptr && error.code == ENOENT) error = {};
        return std::nullopt;
    }
    const OwnedHandle file(openat(folder.get(), place.c_str() + slash + 1, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) return std::nullopt;
        return failWith(error, {"open", static_cast<std::uint32_t>(errno), " (" + place + ")"});
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0)
        return failWith(error, {"fstat", static_cast<std::uint32_t>(errno), " (" + place + ")"});
    if (!S_ISREG(info.st_mode) || (info.st_uid != 0 && info.st_uid != geteuid()) ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return failWith(error, refusal(place + " is not a file that only root may write"));
    }
    char text[256];
    const ssize_t size = read(file.get(), text, sizeof text);
    if (size < 0) return failWith(error, {"read", static_cast<std::uint32_t>(errno), " (" + place + ")"});
    std::string name(text, static_cast<std::size_t>(size));
    name.erase(name.find_last_not_of(" \t\r\n") + 1);
    name.erase(0, name.find_first_not_of(" \t\r\n"));
    if (name.empty()) return std::nullopt;

    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    const int code = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (code != 0) return failWith(error, {"getgrnam_r", static_cast<std::uint32_t>(code), " (" + name + ")"});
    if (found == nullptr) return failWith(error, refusal(place + " names \"" + name + "\", which is no group"));
    return "gid " + std::to_string(found->gr_gid);
}

}  // namespace velmora::vpn::platform
