#include "platform/data_folder.h"

#include "platform/posix/system_folder.h"

namespace velmora::vpn::platform {

std::string machineDataFolder(const std::string&, const std::string& posixName) { return "/var/lib/" + posixName; }

// The user's folder is root's and mode 0755: the user reads its cache there,
// and nobody but root writes.
std::optional<std::string> userDataFolder(const std::string& dataFolder, const CallerIdentity& caller,
                                          SystemError& error) {
    const std::string uid = caller.user.rfind("uid ", 0) == 0 ? caller.user.substr(4) : std::string();
    if (uid.empty() || uid.find_first_not_of("0123456789") != std::string::npos) {
        error = {nullptr, 0, "The caller \"" + caller.user + "\" has no user id"};
        return std::nullopt;
    }
    const std::string path = dataFolder + "/users/" + uid;
    if (!openSystemFolder(path, true, error)) return std::nullopt;
    return path;
}

}  // namespace velmora::vpn::platform
