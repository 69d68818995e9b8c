#include "windows/singbox_named_pipe_server.h"

#include <algorithm>

namespace velmora::vpn {

// Each operation holds instancesMutex_ for its one look or change and
// nothing else: no backend call and no log call is ever made under it.

bool SingBoxNamedPipeServer::reserveInstance(const platform::CallerIdentity& caller) {
    std::lock_guard lock(instancesMutex_);
    if (!caller.privileged) {
        const auto running = std::count_if(instanceUsers_.begin(), instanceUsers_.end(),
                                           [&](const auto& entry) { return entry.second == caller.user; });
        const auto underWay = startsUnderWay_.find(caller.user);
        if (running + (underWay == startsUnderWay_.end() ? 0 : underWay->second) >= settings_.maxInstancesPerUser)
            return false;
    }
    ++startsUnderWay_[caller.user];
    return true;
}

void SingBoxNamedPipeServer::settleInstance(const std::string& user, std::int32_t instanceId) {
    std::lock_guard lock(instancesMutex_);
    if (--startsUnderWay_[user] == 0) startsUnderWay_.erase(user);
    if (instanceId >= 0) instanceUsers_[instanceId] = user;
}

std::optional<std::string> SingBoxNamedPipeServer::instanceUser(std::int32_t instanceId) const {
    std::lock_guard lock(instancesMutex_);
    const auto found = instanceUsers_.find(instanceId);
    return found == instanceUsers_.end() ? std::nullopt : std::optional(found->second);
}

std::vector<std::int32_t> SingBoxNamedPipeServer::instancesOf(const std::string& user) const {
    std::lock_guard lock(instancesMutex_);
    std::vector<std::int32_t> ids;
    for (const auto& [instanceId, owner] : instanceUsers_)
        if (owner == user) ids.push_back(instanceId);
    return ids;
}

void SingBoxNamedPipeServer::forgetInstance(std::int32_t instanceId) {
    std::lock_guard lock(instancesMutex_);
    instanceUsers_.erase(instanceId);
}

void SingBoxNamedPipeServer::forgetAllInstances() {
    std::lock_guard lock(instancesMutex_);
    instanceUsers_.clear();
}

}  // namespace velmora::vpn
