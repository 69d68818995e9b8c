// A stand-in for the sing-box engine library, written from the call contract
// the service relies on. It parses the configuration as JSON, hands out ids
// from 0 upwards, and lets a "standin" object in the configuration script
// every outcome the service must handle.
#include <boost/json.hpp>

#include <cstdlib>
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

// The script is the top-level "standin" object, or, where the service
// passes only reviewed fields on, the text after "standin:" in an outbound's
// tag.
const boost::json::object* scriptObject(const boost::json::object& config, boost::json::value& parsedTag) {
    const boost::json::value* member = memberOf(config, "standin");
    if (member != nullptr && member->is_object()) return &member->get_object();
    const boost::json::value* outbounds = memberOf(config, "outbounds");
    if (outbounds == nullptr || !outbounds->is_array()) return nullptr;
    for (const boost::json::value& outbound : outbounds->get_array()) {
        const boost::json::value* tag = outbound.is_object() ? memberOf(outbound.get_object(), "tag") : nullptr;
        if (tag == nullptr || !tag->is_string() || !tag->get_string().starts_with("standin:")) continue;
        boost::json::error_code error;
        parsedTag = boost::json::parse(tag->get_string().subview(8), error);
        return error ? nullptr : parsedTag.if_object();
    }
    return nullptr;
}

Script readScript(const boost::json::object& config) {
    Script script;
    boost::json::value parsedTag;
    const boost::json::object* found = scriptObject(config, parsedTag);
    if (found == nullptr) return script;
    const boost::json::object& object = *found;
    script.createResult = integerMember(object, "createResult");
    script.fixedId = integerMember(object, "fixedId");
    script.startDelayMs = integerMember(object, "startDelayMs").value_or(0);
    script.startState = integerMember(object, "startState").value_or(1);
    script.stopResult = integerMember(object, "stopResult").value_or(0);
    script.stopRefusals = integerMember(object, "stopRefusals").value_or(1);
    script.runForMs = integerMember(object, "runForMs");
    return script;
}

// "host:port" of a controller, "[v6]:port" included; an empty host is every address.
void addController(std::vector<Endpoint>& endpoints, const boost::json::value* address) {
    if (address == nullptr || !address->is_string()) return;
    const std::string text(address->get_string());
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return;
    const int port = std::atoi(text.c_str() + colon + 1);
    if (port <= 0 || port > 65535) return;
    endpoints.push_back(
        {colon == 0 ? std::string("0.0.0.0") : text.substr(0, colon), static_cast<std::uint16_t>(port)});
}

// Where the engine listens with TCP: inbounds' ports (on 127.0.0.1 when no
// address is given), and the clash and v2ray API controllers.
std::vector<Endpoint> readEndpoints(const boost::json::object& config) {
    std::vector<Endpoint> endpoints;
    const boost::json::value* experimental = memberOf(config, "experimental");
    if (experimental != nullptr && experimental->is_object()) {
        const boost::json::value* clash = memberOf(experimental->get_object(), "clash_api");
        const boost::json::value* v2ray = memberOf(experimental->get_object(), "v2ray_api");
        if (clash != nullptr && clash->is_object())
            addController(endpoints, memberOf(clash->get_object(), "external_controller"));
        if (v2ray != nullptr && v2ray->is_object()) addController(endpoints, memberOf(v2ray->get_object(), "listen"));
    }
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
