#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

#include "policy/config_policy.h"
#include "server/protocol_responses.h"
#include "server/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

// The payload readers never throw for a member of the wrong kind: they fall
// back to the default, which the callers treat as "missing".

// A string member up to its first NUL character; empty when missing or not a string.
std::string jsonString(const boost::json::object& object, const char* key) {
    const boost::json::value* member = object.if_contains(key);
    if (member == nullptr || !member->is_string()) return {};
    const std::string_view text = member->get_string();
    return std::string(text.substr(0, text.find('\0')));
}

// The low 32 bits of an integer member, read as signed.
std::int32_t jsonInt(const boost::json::object& object, const char* key, int defaultValue) {
    const boost::json::value* member = object.if_contains(key);
    if (member == nullptr) return defaultValue;
    if (member->is_int64()) return static_cast<std::int32_t>(static_cast<std::uint32_t>(member->get_int64()));
    if (member->is_uint64()) return static_cast<std::int32_t>(static_cast<std::uint32_t>(member->get_uint64()));
    return defaultValue;
}

// The low 32 bits of a positive integer member.
std::uint32_t jsonUnsignedLong(const boost::json::object& object, const char* key, std::uint32_t defaultValue) {
    const boost::json::value* member = object.if_contains(key);
    if (member == nullptr) return defaultValue;
    if (member->is_uint64()) return static_cast<std::uint32_t>(member->get_uint64());
    if (member->is_int64() && member->get_int64() > 0) return static_cast<std::uint32_t>(member->get_int64());
    return defaultValue;
}

// True when the value can be written back as JSON. The parser reads a number
// too large for a double (1e400) as infinity, which JSON cannot express.
bool representable(const boost::json::value& value) {
    if (value.is_double()) return std::isfinite(value.get_double());
    if (value.is_array()) {
        for (const boost::json::value& element : value.get_array())
            if (!representable(element)) return false;
    }
    if (value.is_object()) {
        for (const auto& member : value.get_object())
            if (!representable(member.value())) return false;
    }
    return true;
}

// The memory one request's parse may take, the parser's own included; past
// its limit an allocation fails with an error the request is answered with,
// so a body that expands in the parser costs its own request and nothing more.
class BoundedParseMemory final : public boost::json::memory_resource {
public:
    explicit BoundedParseMemory(std::size_t limit) : limit_(limit) {}

private:
    void* do_allocate(std::size_t bytes, std::size_t) override {
        if (bytes > limit_ - used_) throw std::length_error("Request needs too much memory to parse");
        void* memory = ::operator new(bytes);
        used_ += bytes;
        return memory;
    }
    void do_deallocate(void* memory, std::size_t bytes, std::size_t) override {
        ::operator delete(memory);
        used_ -= bytes;
    }
    bool do_is_equal(const boost::json::memory_resource& other) const noexcept override { return this == &other; }

    std::size_t limit_;
    std::size_t used_ = 0;  // one request's parse runs on one thread
};

}  // namespace

std::string SingBoxNamedPipeServer::handleRequest(const std::string& requestText,
                                                  const platform::CallerIdentity& caller) {
    // Declared first, so that it outlives every value it holds. The parse
    // is boost::json::parse's own, with default options, on this memory.
    BoundedParseMemory memory(settings_.maxParseBytes);
    const boost::json::storage_ptr storage(&memory);
    boost::json::value parsed(storage);
    try {
        boost::json::parser parser(storage);
        parser.reset(storage);
        boost::json::error_code failure;
        parser.write(requestText, failure);
        if (failure) throw boost::system::system_error(failure);
        parsed = parser.release();
    } catch (const std::exception& error) {
        return errorResponse(nullptr, error.what());
    }

    const boost::json::object* request = parsed.if_object();
    if (request == nullptr) return errorResponse(nullptr, "Request is not an object");
    // Echoing such an id would make the response invalid JSON.
    const boost::json::value* requestId = request->if_contains("requestId");
    if (requestId != nullptr && !representable(*requestId)) {
        return errorResponse(nullptr, "Request id holds a number out of range");
    }

    const std::string command = jsonString(*request, "command");
    if (command.empty()) return errorResponse(request, "Request command is missing");

    static const boost::json::object kEmptyPayload;
    const boost::json::value* payloadMember = request->if_contains("payload");
    const boost::json::object& payload =
        payloadMember != nullptr && payloadMember->is_object() ? payloadMember->get_object() : kEmptyPayload;

    if (command != "start" && command != "stop" && command != "stopAll" && command != "ping" && command != "list") {
        return errorResponse(request, "Unknown command: " + command);
    }
    // An ordinary caller's lines name whose they are; a privileged caller's
    // read as they always have.
    const std::string whose = caller.privileged ? "" : " for " + caller.user;

    // Whatever a command has done before an exception stays done; the client
    // learns of the exception through an error response that echoes its id.
    try {
        if (command == "start") {
            const std::string config = jsonString(payload, "config");
            if (config.empty()) return errorResponse(request, "Start command misses config");

            const Admission admission = admitConfiguration(config, caller, settings_.policy, storage);
            if (!admission.admitted) {
                // The refusal quotes the caller's keys and values: cut, so no caller stretches the line.
                const std::string line = "Refused a configuration of " + caller.user + ": " +
                                         cutForLog(admission.refusal, settings_.callerTextInLine) +
                                         (admission.why.empty() ? "" : " (" + admission.why + ")");
                logInstance(line, caller.user, !caller.privileged);
                if (!admission.why.empty() && settings_.notice) settings_.notice(line);
                return errorResponse(request, admission.refusal);
            }
            const std::string refusal = reserveInstance(caller, admission);
            if (!refusal.empty()) {
                logInstance("Refused a start of " + caller.user + ": " + refusal, caller.user, !caller.privileged);
                return errorResponse(request, refusal);
            }
            StartResult result;
            try {
                result = backend_.startInstance(admission.config);
            } catch (...) {
                settleInstance(caller, admission, -1);
                throw;
            }
            settleInstance(caller, admission, result.ok ? result.instanceId : -1);
            if (!result.ok) {
                return errorResponse(request, result.error.empty() ? "Failed to start sing-box" : result.error);
            }
            boost::json::object started{{"instanceId", result.instanceId}};
            const std::uint32_t owner = jsonUnsignedLong(payload, "ownerProcessId", 0);
            if (result.instanceId >= 0 && owner != 0) watchOwner(result.instanceId, owner);
            logInstance("Started sing-box instance " + std::to_string(result.instanceId) + whose, caller.user,
                        !caller.privileged);
            return successResponse(request, std::move(started));
        }
        if (command == "stop") {
            const std::int32_t instanceId = jsonInt(payload, "instanceId", -1);
            if (instanceId < 0) return errorResponse(request, "Stop command misses instance id");
            // Every local user may connect: an ordinary one stops only its own.
            const std::optional<RunningInstance> owner = instanceUser(instanceId);
            if (!caller.privileged && owner && owner->user != caller.user) {
                return errorResponse(request, "Instance " + std::to_string(instanceId) + " belongs to another user");
            }

            // An id no user is known to run may be another user's start that
            // has not been answered yet: an ordinary caller's stop leaves it
            // alone and succeeds, as a stop of an id that does not run always has.
            const StopResult result =
                caller.privileged || owner ? backend_.stopInstance(instanceId) : StopResult{true, {}};
            if (!result.ok) {
                return errorResponse(request, result.error.empty() ? "Failed to stop sing-box" : result.error);
            }
            unwatchInstance(instanceId);
            forgetInstance(instanceId);
            // An ordinary caller's stop that reached no instance stopped nothing to tell of.
            if (caller.privileged || owner) {
                logInstance("Stopped sing-box instance " + std::to_string(instanceId) + whose, caller.user,
                            !caller.privileged);
            }
            return successResponse(request, {});
        }
        if (command == "stopAll") {
            // For an ordinary caller, all of its own user's instances.
            const std::vector<std::int32_t> own =
                caller.privileged ? std::vector<std::int32_t>{} : instancesOf(caller.user);
            const auto stopAll = [&] {
                if (caller.privileged) return backend_.stopAllInstances();
                for (const std::int32_t instanceId : own) {
                    const StopResult stopped = backend_.stopInstance(instanceId);
                    if (!stopped.ok) return stopped;
                    unwatchInstance(instanceId);
                    forgetInstance(instanceId);
                }
                return StopResult{true, {}};
            };
            const StopResult result = stopAll();
            if (!result.ok) {
                return errorResponse(request,
                                     result.error.empty() ? "Failed to stop sing-box instances" : result.error);
            }
            if (caller.privileged) {
                unwatchAll();
                forgetAllInstances();
            }
            // An ordinary stop-all that reached nothing stopped nothing to tell of.
            if (caller.privileged || !own.empty())
                logInstance("Stopped all sing-box instances" + whose, caller.user, !caller.privileged);
            return successResponse(request, {});
        }
        if (command == "list") return successResponse(request, listInstances(caller));
        return successResponse(request, {{"status", "ok"}});
    } catch (const std::exception& error) {
        return errorResponse(request, error.what());
    }
}

}  // namespace velmora::vpn
