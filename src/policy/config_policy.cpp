#include "policy/config_policy.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>
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
    return "Configuration field " + shown + " is not allowed for your user: " + std::string(policy::effectText(effect));
}

// The member whose folded key is `key` (there is at most one: keys given
// twice in any case are refused first).
boost::json::value* member(boost::json::object& object, std::string_view key) {
    for (auto& entry : object)
        if (policy::foldKey(entry.key()) == key) return &entry.value();
    return nullptr;
}

// Whether a listener's port may be one below 1024 (0 lets the system
// choose): a number, or the port of "host:port" read as the engine's address
// parser reads it, with an optional sign and any number of leading zeros. A
// port given by name is looked up in the system's services list ("http" is
// 80), so it may be any.
bool mayBeLowPort(const boost::json::value& value) {
    if (value.is_int64()) return value.get_int64() > 0 && value.get_int64() < 1024;
    if (value.is_uint64()) return value.get_uint64() > 0 && value.get_uint64() < 1024;
    if (!value.is_string()) return false;
    const std::string_view text = value.get_string();
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    std::string_view digits = text.substr(colon + 1);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    std::int64_t port = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return true;
        port = std::min<std::int64_t>(port * 10 + (c - '0'), 65536);
    }
    return !negative && port > 0 && port < 1024;
}

// Walks the tree once, depth first in written order, and stops at the first
// field an ordinary caller may not give. The location in folded keys and the
// path as written are kept as stacks; the written one becomes text only for
// a refusal.
class Checker {
public:
    Checker(const PolicySettings& settings, std::vector<std::uint32_t> writtenSizes)
        : settings_(settings), writtenSizes_(std::move(writtenSizes)) {}

    std::string objectRefusal(boost::json::object& object) {
        if (next_ >= writtenSizes_.size() || writtenSizes_[next_++] != object.size()) {
            return "Configuration gives a field twice in " +
                   (shown_.empty() ? std::string("its top level") : shownText());
        }
        // This object's folded keys, in a stretch of a stack the whole walk
        // shares, so that their strings are made once and reused.
        const std::size_t base = keysUsed_;
        keysUsed_ += object.size();
        if (keys_.size() < keysUsed_) keys_.resize(keysUsed_);
        std::string type;
        const boost::json::key_value_pair* typeEntry = nullptr;
        std::size_t i = base;
        for (auto& entry : object) {
            std::string& key = keys_[i++];
            policy::foldKey(entry.key(), key);
            if (key == "type" && entry.value().is_string()) {
                policy::foldKey(entry.value().get_string(), type);
                typeEntry = &entry;
            }
        }
        if (object.size() > 1) {
            std::vector<std::string_view> sorted(keys_.begin() + static_cast<long>(base),
                                                 keys_.begin() + static_cast<long>(keysUsed_));
            std::sort(sorted.begin(), sorted.end());
            const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
            if (twice != sorted.end()) {
                std::size_t second = base;
                while (keys_[second] != *twice) ++second;
                while (keys_[++second] != *twice) {
                }
                return "Configuration gives the field " +
                       shownText((object.begin() + static_cast<long>(second - base))->key()) +
                       " twice in other letter case";
            }
        }
        if (!type.empty()) {
            for (const policy::TypeRule& rule : policy::typeRules())
                if (rule.type == type && rule.list == where_) {
                    return notAllowed(
                        shownText(typeEntry->key()) + " (" + std::string(typeEntry->value().get_string()) + ")",
                        rule.effect);
                }
        }

        i = base;
        for (auto& entry : object) {
            const std::string& key = keys_[i++];
            const std::size_t depth = where_.size();
            where_ += where_.empty() ? "" : ".";
            where_ += key;
            shown_.push_back({entry.key(), 0});
            std::string refusal = fieldRefusal(key, type, entry.value());
            if (refusal.empty()) refusal = valueRefusal(entry.value());
            if (!refusal.empty()) return refusal;
            shown_.pop_back();
            where_.resize(depth);
        }
        keysUsed_ = base;
        return {};
    }

private:
    struct Step {
        std::string_view key;  // empty for an element of a list
        std::size_t index;
    };

    std::string shownText(std::string_view last = {}) const {
        std::string text;
        for (const Step& step : shown_) {
            if (step.key.empty()) {
                text += "[" + std::to_string(step.index) + "]";
            } else {
                text += text.empty() ? "" : ".";
                text += step.key;
            }
        }
        if (!last.empty()) text += (text.empty() ? "" : ".") + std::string(last);
        return text;
    }

    // Only keys that end a rule's location, or look like paths, need the
    // whole location matched.
    static bool worthMatching(const std::string& key) {
        static const std::unordered_set<std::string_view> lastKeys = [] {
            std::unordered_set<std::string_view> keys;
            const auto last = [](std::string_view location) { return location.substr(location.rfind('.') + 1); };
            for (const policy::FieldRule& rule : policy::fieldRules()) keys.emplace(last(rule.location));
            for (const policy::NotAPath& allowed : policy::notPaths()) keys.emplace(last(allowed.location));
            keys.insert({"listen_port", "external_controller", "listen"});
            return keys;
        }();
        if (lastKeys.count(key) != 0) return true;
        for (const policy::PathName& name : policy::pathNames()) {
            using Match = policy::PathName::Match;
            if ((name.match == Match::whole && key == name.text) ||
                (name.match == Match::prefix && key.starts_with(name.text)) ||
                (name.match == Match::suffix && key.ends_with(name.text)))
                return true;
        }
        return false;
    }

    std::string fieldRefusal(const std::string& key, const std::string& type, const boost::json::value& value) const {
        if (!worthMatching(key)) return {};
        if (const std::optional<Effect> effect = refusedField(where_, key, type))
            return notAllowed(shownText(), *effect);
        const bool listens =
            key == "listen_port" || key == "external_controller" || where_ == "experimental.v2ray_api.listen";
        if (settings_.refuseLowPorts && listens) {
            if (mayBeLowPort(value)) {
                return "Configuration field " + shownText() +
                       " is not allowed for your user: only root may listen on ports below 1024";
            }
        }
        return {};
    }

    static std::optional<Effect> refusedField(const std::string& location, const std::string& key,
                                              const std::string& type) {
        for (const policy::NotAPath& allowed : policy::notPaths()) {
            if (policy::matches(allowed.location, location) && (allowed.onlyType.empty() || allowed.onlyType == type) &&
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

    std::string valueRefusal(boost::json::value& value) {
        if (value.is_double() && !std::isfinite(value.get_double()))
            return "Configuration field " + shownText() + " holds a number out of range";
        if (value.is_object()) return objectRefusal(value.get_object());
        if (!value.is_array()) return {};
        const std::size_t depth = where_.size();
        where_ += "[]";
        std::size_t index = 0;
        for (boost::json::value& element : value.get_array()) {
            shown_.push_back({{}, index++});
            std::string refusal = valueRefusal(element);
            if (!refusal.empty()) return refusal;
            shown_.pop_back();
        }
        where_.resize(depth);
        return {};
    }

    const PolicySettings& settings_;
    const std::vector<std::uint32_t> writtenSizes_;
    std::size_t next_ = 0;           // the next object's place in writtenSizes_
    std::string where_;              // the location being checked, in folded keys
    std::vector<Step> shown_;        // the same as written
    std::vector<std::string> keys_;  // folded keys of the objects open now
    std::size_t keysUsed_ = 0;       // how many of keys_ they take
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
    return caller.privileged || (settings.trustedGroup && std::find(caller.groups.begin(), caller.groups.end(),
                                                                    *settings.trustedGroup) != caller.groups.end());
}

Admission admitConfiguration(const std::string& config, const platform::CallerIdentity& caller,
                             const PolicySettings& settings, const boost::json::storage_ptr& memory) {
    if (trustedCaller(caller, settings)) return Admission{true, {}, {}, config, 0};

    // The tree lives only for this check and is let go of at once: its
    // nodes come from blocks of the caller's memory, never freed one by one.
    boost::json::monotonic_resource arena(config.size() + 4096, memory);
    boost::json::error_code failure;
    policy::ReadConfiguration read = policy::readConfiguration(config, boost::json::storage_ptr(&arena), failure);
    if (failure) return refused("Configuration is not valid JSON: " + failure.message());
    boost::json::object* root = read.tree.if_object();
    if (root == nullptr) return refused("Configuration is not a JSON object");

    const std::int32_t listeners = listenersOf(*root);
    if (listeners > settings.maxListenersPerStart) {
        return refused("Configuration holds " + std::to_string(listeners) +
                       " listeners (inbounds, endpoints and services); your user may start at most " +
                       std::to_string(settings.maxListenersPerStart) + " at once");
    }
    Checker checker(settings, std::move(read.writtenSizes));
    std::string refusal = checker.objectRefusal(*root);
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
    return Admission{true, {}, {}, boost::json::serialize(read.tree), listeners};
}

}  // namespace velmora::vpn
