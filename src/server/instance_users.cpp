#include "server/singbox_named_pipe_server.h"

#include <algorithm>
#include <cstdio>

#include <boost/json.hpp>

#include "platform/local_time.h"

namespace velmora::vpn {

// Each operation holds instancesMutex_ for its one look or change and
// nothing else: no backend call and no log call is ever made under it.

namespace {

// The cache files one user's folder would hold with `cache` added: those in
// it when the start was checked, and those its instances use or are about
// to make.
std::size_t cacheFilesWith(const CacheFile& cache, const std::string& user,
                           const std::set<std::pair<std::string, std::string>>& inUse) {
    std::set<std::string> files(cache.present.begin(), cache.present.end());
    for (auto used = inUse.lower_bound({user, {}}); used != inUse.end() && used->first == user; ++used)
        files.insert(used->second);
    files.insert(cache.name);
    return files.size();
}

}  // namespace

std::string SingBoxNamedPipeServer::reserveInstance(const platform::CallerIdentity& caller,
                                                    const Admission& admission) {
    const std::int32_t listeners = admission.listeners;
    if (!caller.privileged) {
        // Counted before the lock: it lists the process's descriptors.
        const std::optional<std::size_t> left = settings_.policy.descriptorsLeft();
        std::lock_guard lock(instancesMutex_);
        Share held;
        std::int32_t ordinaryInstances = ordinaryStartsUnderWay_;
        for (const auto& [instanceId, running] : instanceUsers_) {
            ordinaryInstances += running.ordinary ? 1 : 0;
            if (running.user != caller.user) continue;
            ++held.instances;
            held.listeners += running.listeners;
        }
        std::int64_t listenersComing = 0;
        for (const auto& [user, underWay] : startsUnderWay_) {
            listenersComing += underWay.listeners + 1;
            if (user != caller.user) continue;
            held.instances += underWay.instances;
            held.listeners += underWay.listeners;
        }
        if (held.instances >= settings_.maxInstancesPerUser)
            return "Your user runs " + std::to_string(settings_.maxInstancesPerUser) + " instances already";
        if (ordinaryInstances >= settings_.maxOrdinaryInstances) {
            return "Ordinary users run " + std::to_string(settings_.maxOrdinaryInstances) +
                   " instances already; try again later";
        }
        if (held.listeners + listeners > settings_.policy.maxListenersPerUser) {
            return "Your user's instances would hold " + std::to_string(held.listeners + listeners) +
                   " listeners; at most " + std::to_string(settings_.policy.maxListenersPerUser) + " may run at once";
        }
        // Each start under way may still open its listeners and one more.
        const auto needed =
            static_cast<std::size_t>(listenersComing + listeners + 1) + settings_.policy.descriptorReserve;
        if (left && *left < needed) return "The service keeps its last descriptors for its own use; try again later";
        const CacheFile& cache = admission.cache;
        if (!cache.name.empty()) {
            if (cachesInUse_.count({caller.user, cache.name}) != 0) {
                return "Your user runs a profile with this cache already; give each running profile its own "
                       "experimental.cache_file.cache_id";
            }
            const auto most = static_cast<std::size_t>(settings_.policy.maxCacheFiles);
            if (cacheFilesWith(cache, caller.user, cachesInUse_) > most) {
                return "Your user keeps " + std::to_string(most) + " cache files already; at most " +
                       std::to_string(most) + " may be kept";
            }
            cachesInUse_.insert({caller.user, cache.name});
        }
        Share& mine = startsUnderWay_[caller.user];
        ++mine.instances;
        mine.listeners += listeners;
        ++ordinaryStartsUnderWay_;
        return {};
    }
    std::lock_guard lock(instancesMutex_);
    ++startsUnderWay_[caller.user].instances;
    return {};
}

void SingBoxNamedPipeServer::settleInstance(const platform::CallerIdentity& caller, const Admission& admission,
                                            std::int32_t instanceId) {
    std::lock_guard lock(instancesMutex_);
    Share& mine = startsUnderWay_[caller.user];
    mine.listeners -= admission.listeners;
    if (--mine.instances == 0) startsUnderWay_.erase(caller.user);
    if (!caller.privileged) --ordinaryStartsUnderWay_;
    const std::string& cache = admission.cache.name;
    if (instanceId < 0) {
        if (!caller.privileged && !cache.empty()) cachesInUse_.erase({caller.user, cache});
        return;
    }
    // An id the engine handed out twice replaces the record it had.
    const auto replaced = instanceUsers_.find(instanceId);
    if (replaced != instanceUsers_.end() && !replaced->second.cache.empty())
        cachesInUse_.erase({replaced->second.user, replaced->second.cache});
    const platform::LocalTime now = platform::currentLocalTime();
    char started[32];
    std::snprintf(started, sizeof started, "%04u-%02u-%02u %02u:%02u:%02u", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
    instanceUsers_[instanceId] =
        RunningInstance{caller.user, admission.listeners, !caller.privileged, caller.privileged ? "" : cache, started};
}

boost::json::object SingBoxNamedPipeServer::listInstances(const platform::CallerIdentity& caller) const {
    std::map<std::int32_t, RunningInstance> running;
    {
        std::lock_guard lock(instancesMutex_);
        for (const auto& [instanceId, instance] : instanceUsers_)
            if (caller.privileged || instance.user == caller.user) running.emplace(instanceId, instance);
    }
    const std::map<std::int32_t, std::uint32_t> owners = watchedOwners();
    boost::json::array instances;
    for (const auto& [instanceId, instance] : running) {
        boost::json::object entry{{"instanceId", instanceId}, {"user", instance.user}};
        if (const auto owner = owners.find(instanceId); owner != owners.end()) entry["ownerProcessId"] = owner->second;
        // A privileged caller's configuration is not read, so its listeners are not counted.
        if (instance.ordinary) entry["listeners"] = instance.listeners;
        entry["started"] = instance.started;
        instances.push_back(std::move(entry));
    }
    return {{"instances", std::move(instances)}};
}

std::optional<SingBoxNamedPipeServer::RunningInstance> SingBoxNamedPipeServer::instanceUser(
    std::int32_t instanceId) const {
    std::lock_guard lock(instancesMutex_);
    const auto found = instanceUsers_.find(instanceId);
    return found == instanceUsers_.end() ? std::nullopt : std::optional(found->second);
}

std::vector<std::int32_t> SingBoxNamedPipeServer::instancesOf(const std::string& user) const {
    std::lock_guard lock(instancesMutex_);
    std::vector<std::int32_t> ids;
    for (const auto& [instanceId, running] : instanceUsers_)
        if (running.user == user) ids.push_back(instanceId);
    return ids;
}

void SingBoxNamedPipeServer::forgetInstance(std::int32_t instanceId) {
    std::lock_guard lock(instancesMutex_);
    const auto found = instanceUsers_.find(instanceId);
    if (found == instanceUsers_.end()) return;
    if (!found->second.cache.empty()) cachesInUse_.erase({found->second.user, found->second.cache});
    instanceUsers_.erase(found);
}

void SingBoxNamedPipeServer::forgetAllInstances() {
    std::lock_guard lock(instancesMutex_);
    for (const auto& [instanceId, running] : instanceUsers_)
        if (!running.cache.empty()) cachesInUse_.erase({running.user, running.cache});
    instanceUsers_.clear();
}

}  // namespace velmora::vpn
