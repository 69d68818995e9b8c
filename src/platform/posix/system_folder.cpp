#include "platform/posix/system_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

namespace velmora::vpn::platform {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Whether the open folder at `shown` may be on the way; false with the reason.
bool systemOwned(int folder, const std::string& shown, bool last, SystemError& error) {
    struct stat info {};
    if (fstat(folder, &info) != 0) {
        error = {"fstat", static_cast<std::uint32_t>(errno), " (" + shown + ")"};
        return false;
    }
    const bool ownersOnly = info.st_uid == 0 || info.st_uid == geteuid();
    const bool othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    if (!ownersOnly) {
        error = refusal(shown + " is owned by user " + std::to_string(info.st_uid));
        return false;
    }
    if (othersMayWrite && (last || !sticky)) {
        error = refusal(shown + " may be written by other users");
        return false;
    }
    return true;
}

// Gives the open folder `mode`: a made one exactly, one that was there only
// narrowed (never opened further than it was).
bool fitMode(int folder, bool made, mode_t mode, const std::string& shown, SystemError& error) {
    struct stat info {};
    if (fstat(folder, &info) != 0) {
        error = {"fstat", static_cast<std::uint32_t>(errno), " (" + shown + ")"};
        return false;
    }
    const mode_t now = info.st_mode & 07777;
    const mode_t wanted = made ? mode : now & mode;
    if (now != wanted && fchmod(folder, wanted) != 0) {
        error = {"fchmod", static_cast<std::uint32_t>(errno), " (" + shown + ")"};
        return false;
    }
    return true;
}

}  // namespace

OwnedHandle openSystemFolder(const std::string& path, bool create, SystemError& error, mode_t lastMode) {
    if (path.empty() || path.front() != '/') {
        error = refusal(path + " is not an absolute path");
        return {};
    }
    std::vector<std::string> names;
    std::istringstream parts(path);
    for (std::string name; std::getline(parts, name, '/');) {
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            error = refusal(path + " climbs with \"..\"");
            return {};
        }
        names.push_back(name);
    }

    OwnedHandle folder(open("/", kFolderFlags));
    if (!folder) {
        error = {"open", static_cast<std::uint32_t>(errno), " (/)"};
        return {};
    }
    if (!systemOwned(folder.get(), "/", names.empty(), error)) return {};
    std::string shown;
    for (std::size_t i = 0; i < names.size(); ++i) {
        shown += "/" + names[i];
        OwnedHandle next(openat(folder.get(), names[i].c_str(), kFolderFlags));
        const bool last = i + 1 == names.size();
        const mode_t mode = last ? lastMode : 0755;
        bool made = false;
        if (!next && errno == ENOENT && create) {
            // The folder we open it from is checked: nobody else can slip
            // in between the creation and the open below.
            if (mkdirat(folder.get(), names[i].c_str(), mode) != 0 && errno != EEXIST) {
                error = {"mkdir", static_cast<std::uint32_t>(errno), " (" + shown + ")"};
                return {};
            }
            next.reset(openat(folder.get(), names[i].c_str(), kFolderFlags));
            made = true;
        }
        if (!next) {
            const int code = errno;
            if (code == ELOOP || code == ENOTDIR) {
                error = refusal(shown + " is a link or not a folder");
            } else {
                error = {"open", static_cast<std::uint32_t>(code), " (" + shown + ")"};
            }
            return {};
        }
        if (!systemOwned(next.get(), shown, last, error)) return {};
        // The umask may have taken bits a made folder needs, and an older
        // run may have left the last one open to others.
        if ((made || (last && create)) && !fitMode(next.get(), made, mode, shown, error)) return {};
        folder = std::move(next);
    }
    return folder;
}

}  // namespace velmora::vpn::platform
