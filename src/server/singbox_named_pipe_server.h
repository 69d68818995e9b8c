#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/json/object.hpp>

#include "backend/singbox_backend.h"
#include "platform/caller_identity.h"
#include "platform/pipe_endpoint.h"
#include "platform/pipe_io.h"
#include "policy/config_policy.h"
#include "protocol/constants.h"
#include "server/client_book.h"
#include "server/line_limiter.h"
#include "server/pipe_server_settings.h"

namespace velmora::vpn {

// The service's only way in: serves the request protocol on the pipe, one
// request and one response per connection, each connection on a detached
// thread of its own; keeps the table of instance owners and stops the
// instances whose owner process has ended.
class SingBoxNamedPipeServer {
public:
    using LogCallback = std::function<void(const std::string&)>;

    // Stores its arguments only: no pipe, no thread. An empty pipe name means
    // kDefaultPipeName. The backend is borrowed and must outlive the server;
    // an empty log callback means no logging.
    SingBoxNamedPipeServer(std::wstring pipeName, SingBoxBackend& backend, LogCallback log,
                           PipeServerSettings settings = {});
    // Stops the owner watcher and waits until no client thread is inside the
    // server; client threads still blocked on their client never touch the
    // server again.
    ~SingBoxNamedPipeServer();

    SingBoxNamedPipeServer(const SingBoxNamedPipeServer&) = delete;
    SingBoxNamedPipeServer& operator=(const SingBoxNamedPipeServer&) = delete;

    // Serves until `stopFlag` is seen raised, then stops the owner watcher and
    // waits for the client threads (up to the client wait limit). Failures to
    // start a thread leave as std::system_error. Called once per server.
    void run(std::atomic<bool>& stopFlag);

    // Turns one request text (any bytes) from `caller` into exactly one
    // response text. An ordinary caller stops only its own user's instances
    // and runs at most `maxInstancesPerUser`; without a caller the request
    // counts as the service's own user's (tests, the fuzzer).
    std::string handleRequest(const std::string& request,
                              const platform::CallerIdentity& caller = platform::CallerIdentity{"", true, {}});

    // The owner watch table: instance id -> owner process id.
    void watchOwner(std::int32_t instanceId, std::uint32_t ownerProcessId);
    void unwatchInstance(std::int32_t instanceId);
    void unwatchAll();
    std::map<std::int32_t, std::uint32_t> watchedOwners() const;

    // The owner watcher thread. Start does nothing while it runs; stop returns
    // after the watcher's current cycle.
    void startOwnerWatcher();
    void stopOwnerWatcher();

    const std::wstring& pipeName() const { return pipeName_; }

private:
    void watchOwnersLoop();
    static bool serveClient(SingBoxNamedPipeServer* server, ClientBook& book, platform::PipeConnection& connection,
                            const platform::CallerIdentity& connecting, const PipeServerSettings& settings);
    static void clientThreadMain(SingBoxNamedPipeServer* server, std::shared_ptr<ClientBook> book,
                                 platform::NativeHandle pipe, const platform::CallerIdentity& caller,
                                 const PipeServerSettings& settings);
    void waitForClientThreads();
    void log(const std::string& line) const;
    // Lines about one failed connection, and lines about instances, each go
    // through a limiter of their own; lines about the server itself never do.
    void logConnectionFailure(const std::string& line);
    // Lines about an ordinary user's instances count against that user's
    // own limit; privileged callers' lines are never left out.
    void logInstance(const std::string& line, const std::string& user, bool ordinary);
    void flushLimitedLines();
    bool handOver(platform::OwnedHandle connection);

    std::wstring pipeName_;
    SingBoxBackend& backend_;
    LogCallback log_;
    PipeServerSettings settings_;

    // Whose instances run (instance_users.cpp): each running instance's
    // user, and each user's starts under way, so that two at once cannot
    // pass the instance share together.
    struct Share {
        std::int32_t instances = 0;
        std::int32_t listeners = 0;
    };
    struct RunningInstance {
        std::string user;  // who started it
        std::int32_t listeners = 0;
        bool ordinary = true;  // started by an ordinary caller
        std::string cache;     // its cache file's name in the user's folder, if any
        std::string started;   // local time of its start, as the log writes it
    };
    // What an ordinary user's start may not pass: the refusal's text, or empty
    // when the start is counted as under way.
    std::string reserveInstance(const platform::CallerIdentity& caller, const Admission& admission);
    void settleInstance(const platform::CallerIdentity& caller, const Admission& admission,
                        std::int32_t instanceId);  // -1: the start failed
    std::optional<RunningInstance> instanceUser(std::int32_t instanceId) const;
    // What runs, by instance id: every instance for a privileged caller, its
    // own user's for anyone else; as the answer to "list".
    boost::json::object listInstances(const platform::CallerIdentity& caller) const;
    std::vector<std::int32_t> instancesOf(const std::string& user) const;
    void forgetInstance(std::int32_t instanceId);
    void forgetAllInstances();

    mutable std::mutex instancesMutex_;                      // guards the four members below
    std::map<std::int32_t, RunningInstance> instanceUsers_;  // running instance id -> whose it is
    std::map<std::string, Share> startsUnderWay_;            // user -> starts not yet answered (never empty)
    std::int32_t ordinaryStartsUnderWay_ = 0;                // those of them by ordinary callers
    // The cache files of ordinary users' running instances and starts under
    // way, as (user, file name): the engine holds a cache file locked, so no
    // two of them may share one.
    std::set<std::pair<std::string, std::string>> cachesInUse_;

    mutable std::mutex ownersMutex_;                // guards owners_
    std::map<std::int32_t, std::uint32_t> owners_;  // instance id -> owner process id

    // The client count with its lock and condition lives in a record shared
    // with the client threads, so that a thread outliving the server's wait
    // never touches freed memory.
    std::shared_ptr<ClientBook> clients_ = std::make_shared<ClientBook>();

    std::atomic<bool> watcherStop_{false};  // asks the watcher thread to end
    std::thread watcherThread_;

    LineLimiter connectionLines_{settings_.connectionLinesPerSecond, "single connections"};
    UserLineLimiters instanceLines_{settings_.instanceLinesPerSecond, "instances", settings_.instanceBytesPerSecond,
                                    settings_.ordinaryBytesPerSecond};
};

}  // namespace velmora::vpn
