// A stand-in for the sing-box engine library, written from the call contract
// the service relies on. It parses the configuration as JSON, hands out ids
// from 0 upwards, and lets a "standin" object in the configuration script
// every outcome the service must handle.
#include <boost/json.hpp>

#include <map>
#include <memory>
#include <mutex>

#include "standin_effects.h"
#include "standin_instance.h"

#if defined(_WIN32)
#define STANDIN_EXPORT extern "C" __declspec(dllexport)
#else
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace velmora::standin {
namespace {

// An instance stays registered until its run call has returned and its start
// wait has been answered, so that a wait which comes after an instance that
// failed at once still learns its state.
struct Entry {
    std::shared_ptr<Instance> instance;
    bool runEnded = false;
    bool waitAnswered = false;
};

std::mutex registryMutex;                 // guards instances and nextId
std::map<std::int32_t, Entry> instances;  // created and not yet retired
std::int32_t nextId = 0;

// Marks one of the two events and retires the instance once both happened.
void retire(std::int32_t id, const std::shared_ptr<Instance>& instance, bool Entry::*event) {
    std::lock_guard lock(registryMutex);
    const auto found = instances.find(id);
    if (found == instances.end() || found->second.instance != instance) return;
    found->second.*event = true;
    if (found->second.runEnded && found->second.waitAnswered) instances.erase(found);
}

std::optional<std::int32_t> integerMember(const boost::json::object& object, const char* key) {
    const boost::json::value* member = memberOf(object, key);
    if (member == nullptr || !member->is_int64()) return std::nullopt;
    return static_cast<std::int32_t>(member->get_int64());
}

Script readScript(const boost::json::object& config) {
    Script script;
    const boost::json::value* member = memberOf(config, "standin");
    if (member == nullptr || !member->is_object()) return script;
    const boost::json::object& object = member->get_object();
    script.createResult = integerMember(object, "createResult");
    script.fixedId = integerMember(object, "fixedId");
    script.startDelayMs = integerMember(object, "startDelayMs").value_or(0);
    script.startState = integerMember(object, "startState").value_or(1);
    script.stopResult = integerMember(object, "stopResult").value_or(0);
    script.stopRefusals = integerMember(object, "stopRefusals").value_or(1);
    script.runForMs = integerMember(object, "runForMs");
    return script;
}

std::vector<Endpoint> readEndpoints(const boost::json::object& config) {
    std::vector<Endpoint> endpoints;
    const boost::json::value* inbounds = memberOf(config, "inbounds");
    if (inbounds == nullptr || !inbounds->is_array()) return endpoints;
    for (const boost::json::value& inbound : inbounds->get_array()) {
        if (!inbound.is_object()) continue;
        const auto port = integerMember(inbound.get_object(), "listen_port");
        if (!port || *port < 0 || *port > 65535) continue;
        const boost::json::value* listen = memberOf(inbound.get_object(), "listen");
        endpoints.push_back(
            {listen != nullptr && listen->is_string() ? std::string(listen->get_string()) : std::string("127.0.0.1"),
             static_cast<std::uint16_t>(*port)});
    }
    return endpoints;
}

std::shared_ptr<Instance> find(std::int32_t id) {
    std::lock_guard lock(registryMutex);
    const auto found = instances.find(id);
    return found == instances.end() ? nullptr : found->second.instance;
}

}  // namespace
}  // namespace velmora::standin

using namespace velmora::standin;

STANDIN_EXPORT std::int32_t CreateSingBoxInstance(char* config) {
    boost::json::error_code error;
    const boost::json::value parsed = boost::json::parse(config != nullptr ? config : "", error);
    if (error || !parsed.is_object()) return -1;
    const Script script = readScript(parsed.get_object());
    if (script.createResult && *script.createResult < 0) return *script.createResult;
    if (!actOnFiles(parsed.get_object())) return -1;

    auto instance = std::make_shared<Instance>(script, readEndpoints(parsed.get_object()));
    std::lock_guard lock(registryMutex);
    const std::int32_t id = script.fixedId ? *script.fixedId : nextId++;
    // A scripted id that is taken hands out the id again without replacing
    // the instance that has it, as a confused engine would.
    instances.emplace(id, Entry{std::move(instance)});
    return id;
}

STANDIN_EXPORT std::int32_t RunSingBoxInstance(std::int32_t id) {
    const std::shared_ptr<Instance> instance = find(id);
    if (!instance) return -1;
    instance->run();
    retire(id, instance, &Entry::runEnded);
    return 0;
}

STANDIN_EXPORT std::int32_t WaitSingBoxInstanceStarted(std::int32_t id, std::int32_t timeoutMilliseconds) {
    const std::shared_ptr<Instance> instance = find(id);
    if (!instance) return -1;
    const std::int32_t state = instance->waitStarted(timeoutMilliseconds);
    retire(id, instance, &Entry::waitAnswered);
    return state;
}

STANDIN_EXPORT std::int32_t StopSingBoxInstance(std::int32_t id) {
    const std::shared_ptr<Instance> instance = find(id);
    return instance ? instance->stop() : 0;
}

STANDIN_EXPORT std::int32_t StopAllSingBoxInstances() {
    std::vector<std::shared_ptr<Instance>> all;
    {
        std::lock_guard lock(registryMutex);
        for (const auto& entry : instances) all.push_back(entry.second.instance);
    }
    for (const auto& instance : all) instance->forceStop();
    return 0;
}
