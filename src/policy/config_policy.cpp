#include "policy/config_policy.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

#include "platform/data_folder.h"
#include "policy/config_reading.h"
#include "policy/field_rules.h"

namespace velmora::vpn {
namespace {

using policy::Effect;

std::string notAllowed(const std::string& shown, Effect effect) {
    return "Configuration field " + shown + " is not allowed for your user: " +
           std::string(policy::effectText(effect));
}

// The member whose folded key is `key` (there is at most one: keys given
// twice in any case are refused first).
boost::json::value* member(boost::json::object& object, std::string_view key) {
    for (auto& entry : object)
        if (policy::foldKey(entry.key()) == key) return &entry.value();
    return nullptr;
}

// The port of "host:port", when it is one.
std::optional<std::int64_t> portOf(const boost::json::value& value) {
    if (value.is_int64()) return value.get_int64();
    if (value.is_uint64()) return static_cast<std::int64_t>(std::min<std::uint64_t>(value.get_uint64(), 65536));
    if (!value.is_string()) return std::nullopt;
    const std::string_view text = value.get_string();
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == text.size() || text.size() - colon > 6) return std::nullopt;
    std::int64_t port = 0;
    for (const char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    return port;
}

// Walks the tree once, depth first in written order, and stops at the first
// field an ordinary caller may not give.
class Checker {
public:
    Checker(const PolicySettings& settings, std::vector<std::uint32_t> writtenSizes)
        : settings_(settings), writtenSizes_(std::move(writtenSizes)) {}

    std::string objectRefusal(boost::json::object& object, const std::string& where, const std::string& shown) {
        if (next_ >= writtenSizes_.size() || writtenSizes_[next_++] != object.size())
            return "Configuration gives a field twice in " + (shown.empty() ? std::string("its top level") : shown);
        std::set<std::string> keys;
        std::string type;
        std::string typeShown;
        for (auto& entry : object) {
            std::string key = policy::foldKey(entry.key());
            if (key == "type" && entry.value().is_string()) {
                type = policy::foldKey(entry.value().get_string());
                typeShown = child(shown, entry.key()) + " (" + std::string(entry.value().get_string()) + ")";
            }
            if (!keys.insert(std::move(key)).second) {
                return "Configuration gives the field " + child(shown, entry.key()) + " twice in other letter case";
            }
        }
        for (const policy::TypeRule& rule : policy::typeRules())
            if (rule.list == where && rule.type == type) return notAllowed(typeShown, rule.effect);

        for (auto& entry : object) {
            const std::string key = policy::foldKey(entry.key());
            const std::string location = where.empty() ? key : where + "." + key;
            const std::string fieldShown = child(shown, entry.key());
            if (const std::optional<Effect> effect = refusedField(location, key, type))
                return notAllowed(fieldShown, *effect);
            if (settings_.refuseLowPorts && listensOn(location, key)) {
                const std::optional<std::int64_t> port = portOf(entry.value());
                if (port && *port > 0 && *port < 1024) {
                    return "Configuration field " + fieldShown +
                           " is not allowed for your user: only root may listen on ports below 1024";
                }
            }
            std::string refusal = valueRefusal(entry.value(), location, fieldShown);
            if (!refusal.empty()) return refusal;
        }
        return {};
    }

private:
    static std::string child(const std::string& shown, std::string_view key) {
        return shown.empty() ? std::string(key) : shown + "." + std::string(key);
    }

    static bool listensOn(const std::string& location, const std::string& key) {
        return key == "listen_port" || key == "external_controller" || location == "experimental.v2ray_api.listen";
    }

    static std::optional<Effect> refusedField(const std::string& location, const std::string& key,
                                              const std::string& type) {
        for (const policy::NotAPath& allowed : policy::notPaths()) {
            if (policy::matches(allowed.location, location) &&
                (allowed.onlyType.empty() || allowed.onlyType == type) &&
                (allowed.exceptType.empty() || allowed.exceptType != type))
                return std::nullopt;
        }
        for (const policy::FieldRule& rule : policy::fieldRules())
            if (policy::matches(rule.location, location)) return rule.effect;
        for (const policy::PathName& name : policy::pathNames()) {
            using Match = policy::PathName::Match;
            if ((name.match == Match::whole && key == name.text) ||
                (name.match == Match::prefix && key.starts_with(name.text)) ||
                (name.match == Match::suffix && key.ends_with(name.text)))
                return Effect::pathLike;
        }
        return std::nullopt;
    }

    std::string valueRefusal(boost::json::value& value, const std::string& where, const std::string& shown) {
        if (value.is_double() && !std::isfinite(value.get_double()))
            return "Configuration field " + shown + " holds a number out of range";
        if (value.is_object()) return objectRefusal(value.get_object(), where, shown);
        if (!value.is_array()) return {};
        std::size_t index = 0;
        for (boost::json::value& element : value.get_array()) {
            std::string refusal = valueRefusal(element, where + "[]", shown + "[" + std::to_string(index++) + "]");
            if (!refusal.empty()) return refusal;
        }
        return {};
    }

    const PolicySettings& settings_;
    const std::vector<std::uint32_t> writtenSizes_;
    std::size_t next_ = 0;  // the next object's place in writtenSizes_
};

std::int32_t listenersOf(boost::json::object& config) {
    std::size_t count = 0;
    for (const char* list : {"inbounds", "endpoints", "services"}) {
        const boost::json::value* entries = member(config, list);
        if (entries != nullptr && entries->is_array()) count += entries->get_array().size();
    }
    return static_cast<std::int32_t>(std::min<std::size_t>(count, INT32_MAX));
}

Admission refused(std::string refusal, std::string why = {}) {
    return Admission{false, std::move(refusal), std::move(why), {}, 0};
}

}  // namespace

bool trustedCaller(const platform::CallerIdentity& caller, const PolicySettings& settings) {
    return caller.privileged ||
           (settings.trustedGroup && std::find(caller.groups.begin(), caller.groups.end(), *settings.trustedGroup) !=
                                         caller.groups.end());
}

Admission admitConfiguration(const std::string& config, const platform::CallerIdentity& caller,
                             const PolicySettings& settings, const boost::json::storage_ptr& memory) {
    if (trustedCaller(caller, settings)) return Admission{true, {}, {}, config, 0};

    boost::json::value parsed(memory);
    {
        boost::json::parser parser(memory);
        parser.reset(memory);
        boost::json::error_code failure;
        parser.write(config, failure);
        if (failure) return refused("Configuration is not valid JSON: " + failure.message());
        parsed = parser.release();
    }
    boost::json::object* root = parsed.if_object();
    if (root == nullptr) return refused("Configuration is not a JSON object");

    const std::int32_t listeners = listenersOf(*root);
    if (listeners > settings.maxListenersPerStart) {
        return refused("Configuration holds " + std::to_string(listeners) +
                       " listeners (inbounds, endpoints and services); your user may start at most " +
                       std::to_string(settings.maxListenersPerStart) + " at once");
    }
    Checker checker(settings, policy::writtenObjectSizes(config));
    std::string refusal = checker.objectRefusal(*root, "", "");
    if (!refusal.empty()) return refused(std::move(refusal));

    boost::json::value* experimental = member(*root, "experimental");
    boost::json::value* cache = experimental != nullptr && experimental->is_object()
                                    ? member(experimental->get_object(), "cache_file")
                                    : nullptr;
    if (cache != nullptr && cache->is_object()) {
        platform::SystemError error;
        const std::optional<std::string> folder = platform::userDataFolder(settings.dataFolder, caller, error);
        if (!folder) return refused("Your user's data folder cannot be used", platform::failureText(error));
        const char separator = folder->find('\\') != std::string::npos ? '\\' : '/';
        cache->get_object()["path"] = *folder + separator + "cache.db";
    }
    return Admission{true, {}, {}, boost::json::serialize(parsed), listeners};
}

}  // namespace velmora::vpn
