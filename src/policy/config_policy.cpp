#include "policy/config_policy.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <boost/json.hpp>

#include "platform/data_folder.h"
#include "policy/config_reading.h"
#include "policy/field_rules.h"
#include "policy/reviewed_fields.h"

namespace velmora::vpn {
namespace {

using policy::Effect;
using policy::Kind;

std::string notAllowed(const std::string& shown, Effect effect) {
    return "Configuration field " + shown + " is not allowed for your user: " + std::string(policy::effectText(effect));
}
std::string notReviewed(const std::string& shown) {
    return "Configuration field " + shown + " is not reviewed for your user";
}

// The member whose folded key is `key` (there is at most one: keys given
// twice in any case are refused first).
boost::json::value* member(boost::json::object& object, std::string_view key) {
    for (auto& entry : object)
        if (policy::foldKey(entry.key()) == key) return &entry.value();
    return nullptr;
}

// Whether a port given as digits, after an optional sign and any number of
// leading zeros, may be one below 1024 (0 lets the system choose). Anything
// but digits is a name the system's services list may give any port.
bool mayBeLowPort(std::string_view digits) {
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

// Whether a port field may name a port below 1024: a number (the engine's
// decoder takes integers only; anything else that is low is refused too),
// or text read as digits.
bool mayBeLowPort(const boost::json::value& value) {
    if (value.is_int64()) return value.get_int64() > 0 && value.get_int64() < 1024;
    if (value.is_uint64()) return value.get_uint64() > 0 && value.get_uint64() < 1024;
    if (value.is_double()) return value.get_double() > 0 && value.get_double() < 1024;
    return value.is_string() && mayBeLowPort(std::string_view(value.get_string()));
}

// The same for "host:port", read as the engine's address parser reads it.
bool mayBeLowAddress(std::string_view address) {
    const std::size_t colon = address.rfind(':');
    return colon != std::string_view::npos && mayBeLowPort(address.substr(colon + 1));
}

bool scalar(const boost::json::value& value) { return !value.is_object() && !value.is_array(); }

// Walks the tree once, depth first in written order, knowing at each object
// which reviewed structure it is, and stops at the first field an ordinary
// caller may not give. The location in folded keys and the path as written
// are kept as stacks; the written one becomes text only for a refusal.
class Checker {
public:
    Checker(const PolicySettings& settings, std::vector<std::uint32_t> writtenSizes)
        : settings_(settings), writtenSizes_(std::move(writtenSizes)) {}

    // What listens: inbounds, endpoints and the controllers' addresses.
    std::int32_t listeners() const { return static_cast<std::int32_t>(std::min<std::size_t>(listeners_, INT32_MAX)); }

    // `structure` is the reviewed structure the object is, or a family's
    // name (ending in ':') whose member the object's type picks.
    std::string objectRefusal(boost::json::object& object, std::string_view structure) {
        if (std::string refusal = writtenTwice(object); !refusal.empty()) return refusal;
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
        const std::string typeShown =
            typeEntry ? shownText(typeEntry->key()) + " (" + std::string(typeEntry->value().get_string()) + ")" : "";
        if (typeEntry != nullptr) {
            for (const policy::TypeRule& rule : policy::typeRules())
                if (rule.type == type && rule.list == where_) return notAllowed(typeShown, rule.effect);
        }
        std::string family;
        if (structure.ends_with(':')) {
            family = std::string(structure) + type;
            if (!policy::reviewedStructure(family)) {
                return typeEntry ? notReviewed(typeShown)
                                 : "Configuration field " + shownText() + " names no type reviewed for your user";
            }
            structure = family;
        }

        i = base;
        for (auto& entry : object) {
            const std::string& key = keys_[i++];
            const std::size_t depth = where_.size();
            where_ += where_.empty() ? "" : ".";
            where_ += key;
            shown_.push_back({entry.key(), 0});
            std::string refusal = knownRefusal(key, type);
            if (refusal.empty()) {
                const policy::Reviewed* reviewed = policy::reviewedField(structure, key);
                refusal = reviewed ? valueRefusal(entry.value(), *reviewed) : notReviewed(shownText());
            }
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

    // An object with fewer members in the tree than written had a key twice:
    // the tree keeps the last, a reader of the text might take the first.
    std::string writtenTwice(const boost::json::object& object) {
        if (next_ < writtenSizes_.size() && writtenSizes_[next_++] == object.size()) return {};
        return "Configuration gives a field twice in " + (shown_.empty() ? std::string("its top level") : shownText());
    }

    // Only keys that end a rule's location, or look like paths, need the
    // whole location matched.
    static bool worthMatching(const std::string& key) {
        static const std::unordered_set<std::string_view> lastKeys = [] {
            std::unordered_set<std::string_view> keys;
            const auto last = [](std::string_view location) { return location.substr(location.rfind('.') + 1); };
            for (const policy::FieldRule& rule : policy::fieldRules()) keys.emplace(last(rule.location));
            for (const policy::NotAPath& allowed : policy::notPaths()) keys.emplace(last(allowed.location));
            return keys;
        }();
        return lastKeys.count(key) != 0 || pathLike(key);
    }
    static bool pathLike(const std::string& key) {
        for (const policy::PathName& name : policy::pathNames()) {
            using Match = policy::PathName::Match;
            if ((name.match == Match::whole && key == name.text) ||
                (name.match == Match::prefix && key.starts_with(name.text)) ||
                (name.match == Match::suffix && key.ends_with(name.text)))
                return true;
        }
        return false;
    }

    // A field known to reach files or the service's own process, refused
    // with its reason wherever it is given, before the review is asked.
    std::string knownRefusal(const std::string& key, const std::string& type) const {
        if (!worthMatching(key)) return {};
        for (const policy::NotAPath& allowed : policy::notPaths()) {
            if (policy::matches(allowed.location, where_) && (allowed.onlyType.empty() || allowed.onlyType == type) &&
                (allowed.exceptType.empty() || allowed.exceptType != type))
                return {};
        }
        for (const policy::FieldRule& rule : policy::fieldRules())
            if (policy::matches(rule.location, where_)) return notAllowed(shownText(), rule.effect);
        return pathLike(key) ? notAllowed(shownText(), Effect::pathLike) : std::string();
    }

    std::string wrongKind() const {
        return "Configuration field " + shownText() + " holds a kind of value not reviewed for your user";
    }
    std::string lowPort() const {
        return "Configuration field " + shownText() +
               " is not allowed for your user: only root may listen on ports below 1024";
    }

    // A value that holds no object: a scalar or a list of scalars.
    std::string plainRefusal(const boost::json::value& value) {
        if (value.is_double() && !std::isfinite(value.get_double()))
            return "Configuration field " + shownText() + " holds a number out of range";
        if (value.is_object()) return wrongKind();
        if (!value.is_array()) return {};
        std::size_t index = 0;
        for (const boost::json::value& element : value.get_array()) {
            shown_.push_back({{}, index++});
            if (!scalar(element)) return wrongKind();
            std::string refusal = plainRefusal(element);
            if (!refusal.empty()) return refusal;
            shown_.pop_back();
        }
        return {};
    }

    // A map's keys are data the engine keeps as written: no rule reads them.
    std::string mapRefusal(const boost::json::object& map) {
        if (std::string refusal = writtenTwice(map); !refusal.empty()) return refusal;
        for (const auto& entry : map) {
            shown_.push_back({entry.key(), 0});
            std::string refusal = plainRefusal(entry.value());
            if (!refusal.empty()) return refusal;
            shown_.pop_back();
        }
        return {};
    }

    std::string elementsRefusal(boost::json::array& list, std::string_view structure, bool listening) {
        const std::size_t depth = where_.size();
        where_ += "[]";
        std::size_t index = 0;
        for (boost::json::value& element : list) {
            shown_.push_back({{}, index++});
            if (!element.is_object()) return wrongKind();
            std::string refusal = objectRefusal(element.get_object(), structure);
            if (!refusal.empty()) return refusal;
            shown_.pop_back();
            listeners_ += listening ? 1 : 0;
        }
        where_.resize(depth);
        return {};
    }

    std::string valueRefusal(boost::json::value& value, const policy::Reviewed& field) {
        if (value.is_null()) return {};
        switch (field.kind) {
            case Kind::value:
                return plainRefusal(value);
            case Kind::map:
                return value.is_object() ? mapRefusal(value.get_object()) : wrongKind();
            case Kind::object:
                return value.is_object() ? objectRefusal(value.get_object(), field.of) : wrongKind();
            case Kind::valueOr:
                return value.is_object() ? objectRefusal(value.get_object(), field.of) : plainRefusal(value);
            case Kind::objects:
            case Kind::listeners:
                return value.is_array() ? elementsRefusal(value.get_array(), field.of, field.kind == Kind::listeners)
                                        : wrongKind();
            case Kind::port:
                if (!scalar(value)) return wrongKind();
                return settings_.refuseLowPorts && mayBeLowPort(value) ? lowPort() : plainRefusal(value);
            case Kind::address:
                if (!value.is_string()) return scalar(value) ? plainRefusal(value) : wrongKind();
                listeners_ += value.get_string().empty() ? 0 : 1;
                return settings_.refuseLowPorts && mayBeLowAddress(value.get_string()) ? lowPort() : std::string();
            case Kind::fields:
                break;
        }
        return wrongKind();
    }

    const PolicySettings& settings_;
    const std::vector<std::uint32_t> writtenSizes_;
    std::size_t next_ = 0;           // the next object's place in writtenSizes_
    std::string where_;              // the location being checked, in folded keys
    std::vector<Step> shown_;        // the same as written
    std::vector<std::string> keys_;  // folded keys of the objects open now
    std::size_t keysUsed_ = 0;       // how many of keys_ they take
    std::size_t listeners_ = 0;
};

Admission refused(std::string refusal, std::string why = {}) {
    return Admission{false, std::move(refusal), std::move(why), {}, 0, {}};
}

// The enabled cache file object of a configuration, or null.
boost::json::object* enabledCache(boost::json::object& root) {
    boost::json::value* experimental = member(root, "experimental");
    boost::json::value* cache = experimental != nullptr && experimental->is_object()
                                    ? member(experimental->get_object(), "cache_file")
                                    : nullptr;
    if (cache == nullptr || !cache->is_object()) return nullptr;
    const boost::json::value* enabled = member(cache->get_object(), "enabled");
    return enabled != nullptr && enabled->is_bool() && enabled->get_bool() ? &cache->get_object() : nullptr;
}

// A profile's cache file is named by its cache id, written out in hex so
// that no id can name anything but one file in the user's own folder.
std::string cacheFileName(std::string_view cacheId) {
    if (cacheId.empty()) return "cache.db";
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name = "cache-";
    for (const unsigned char c : cacheId) {
        name += kDigits[c >> 4];
        name += kDigits[c & 15];
    }
    return name + ".db";
}

}  // namespace

bool trustedCaller(const platform::CallerIdentity& caller, const PolicySettings& settings) {
    return caller.privileged || (settings.trustedGroup && std::find(caller.groups.begin(), caller.groups.end(),
                                                                    *settings.trustedGroup) != caller.groups.end());
}

Admission admitConfiguration(const std::string& config, const platform::CallerIdentity& caller,
                             const PolicySettings& settings, const boost::json::storage_ptr& memory) {
    if (trustedCaller(caller, settings)) return Admission{true, {}, {}, config, 0, {}};

    // The tree lives only for this check and is let go of at once: its
    // nodes come from blocks of the caller's memory, never freed one by one.
    boost::json::monotonic_resource arena(config.size() + 4096, memory);
    boost::json::error_code failure;
    policy::ReadConfiguration read = policy::readConfiguration(config, boost::json::storage_ptr(&arena), failure);
    if (failure) return refused("Configuration is not valid JSON: " + failure.message());
    boost::json::object* root = read.tree.if_object();
    if (root == nullptr) return refused("Configuration is not a JSON object");

    Checker checker(settings, std::move(read.writtenSizes));
    std::string refusal = checker.objectRefusal(*root, policy::kTopLevel);
    if (!refusal.empty()) return refused(std::move(refusal));
    const std::int32_t listeners = checker.listeners();
    if (listeners > settings.maxListenersPerStart) {
        return refused("Configuration holds " + std::to_string(listeners) +
                       " listeners (inbounds, endpoints and controllers); your user may start at most " +
                       std::to_string(settings.maxListenersPerStart) + " at once");
    }

    CacheFile cache;
    if (boost::json::object* cacheObject = enabledCache(*root)) {
        const boost::json::value* id = member(*cacheObject, "cache_id");
        const std::string_view cacheId = id != nullptr && id->is_string() ? std::string_view(id->get_string()) : "";
        if (cacheId.size() > settings.maxCacheIdBytes) {
            return refused("Configuration field experimental.cache_file.cache_id is longer than " +
                           std::to_string(settings.maxCacheIdBytes) + " bytes");
        }
        platform::SystemError error;
        std::vector<platform::FolderEntry> contents;
        const std::optional<std::string> folder =
            platform::userDataFolder(settings.dataFolder, caller, error, &contents);
        if (!folder) return refused("Your user's data folder cannot be used", platform::failureText(error));
        std::uint64_t bytes = 0;
        for (const platform::FolderEntry& entry : contents) {
            bytes += entry.bytes;
            cache.present.push_back(entry.name);
        }
        if (bytes >= settings.maxCacheBytes) {
            return refused("Your user's cache files take " + std::to_string(bytes) + " bytes; at most " +
                           std::to_string(settings.maxCacheBytes) + " may be kept");
        }
        cache.name = cacheFileName(cacheId);
        const char separator = folder->find('\\') != std::string::npos ? '\\' : '/';
        (*cacheObject)["path"] = *folder + separator + cache.name;
    }
    return Admission{true, {}, {}, boost::json::serialize(read.tree), listeners, std::move(cache)};
}

}  // namespace velmora::vpn
