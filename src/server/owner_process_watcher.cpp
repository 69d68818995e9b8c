#include <string>
#include <vector>

#include "platform/owner_process.h"
#include "server/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

// One owner found gone in a scan, acted on after the table lock is released.
struct GoneOwner {
    std::int32_t instanceId;
    std::uint32_t ownerProcessId;
};

}  // namespace

void SingBoxNamedPipeServer::startOwnerWatcher() {
    if (watcherThread_.joinable()) return;
    watcherStop_.exchange(false);
    watcherThread_ = std::thread(&SingBoxNamedPipeServer::watchOwnersLoop, this);
}

void SingBoxNamedPipeServer::stopOwnerWatcher() {
    watcherStop_.exchange(true);
    if (watcherThread_.joinable()) watcherThread_.join();
}

void SingBoxNamedPipeServer::watchOwnersLoop() {
    // The flag is read only here and at the end of each cycle, so a stop
    // request waits for the current sleep and scan to finish.
    if (watcherStop_.load()) return;
    for (;;) {
        std::this_thread::sleep_until(deadlineAfter(settings_.ownerPollInterval));

        std::vector<GoneOwner> gone;
        {
            std::lock_guard lock(ownersMutex_);
            for (const auto& [instanceId, owner] : owners_) {
                if (owner != 0 && platform::isOwnerGone(owner)) gone.push_back({instanceId, owner});
            }
        }
        // Each gone owner gets one stop attempt; its entry goes whatever the
        // backend answers.
        for (const GoneOwner& entry : gone) {
            const std::optional<RunningInstance> started = instanceUser(entry.instanceId);
            const bool ordinary = started && started->ordinary;
            logInstance("Owner process " + std::to_string(entry.ownerProcessId) +
                            " is gone; stopping sing-box instance " + std::to_string(entry.instanceId) +
                            (ordinary ? " for " + started->user : std::string()),
                        started ? started->user : std::string(), ordinary);
            try {
                backend_.stopInstance(entry.instanceId);
            } catch (const std::exception&) {
                // The stop's outcome is not used, failed or not; a thread or
                // lock failure inside it must not end the watcher.
            }
            unwatchInstance(entry.instanceId);
            forgetInstance(entry.instanceId);
        }
        // The watcher's beat also sums up the lines a flood left out.
        flushLimitedLines();
        if (watcherStop_.load()) return;
    }
}

}  // namespace velmora::vpn
