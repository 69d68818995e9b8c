#include "server/singbox_named_pipe_server.h"

namespace velmora::vpn {

// Each operation holds ownersMutex_ for its one change and nothing else: no
// backend call and no log call is ever made under it.

void SingBoxNamedPipeServer::watchOwner(std::int32_t instanceId, std::uint32_t ownerProcessId) {
    std::lock_guard lock(ownersMutex_);
    owners_[instanceId] = ownerProcessId;
}

void SingBoxNamedPipeServer::unwatchInstance(std::int32_t instanceId) {
    std::lock_guard lock(ownersMutex_);
    owners_.erase(instanceId);
}

void SingBoxNamedPipeServer::unwatchAll() {
    std::lock_guard lock(ownersMutex_);
    owners_.clear();
}

std::map<std::int32_t, std::uint32_t> SingBoxNamedPipeServer::watchedOwners() const {
    std::lock_guard lock(ownersMutex_);
    return owners_;
}

}  // namespace velmora::vpn
