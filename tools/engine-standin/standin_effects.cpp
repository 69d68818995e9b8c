#include "standin_effects.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace velmora::standin {
namespace {

namespace fs = std::filesystem;

bool sameInAnyCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string textOf(const boost::json::value* value) {
    return value != nullptr && value->is_string() ? std::string(value->get_string()) : std::string();
}

const boost::json::object* objectOf(const boost::json::value* value) {
    return value != nullptr && value->is_object() ? &value->get_object() : nullptr;
}

bool readable(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char first = 0;
    return file.is_open() && (file.read(&first, 1) || file.eof());
}

// Every certificate_path and key_path at any depth is read.
bool readsKeys(const boost::json::value& value) {
    if (const boost::json::array* list = value.if_array()) {
        for (const boost::json::value& element : *list)
            if (!readsKeys(element)) return false;
        return true;
    }
    const boost::json::object* object = value.if_object();
    if (object == nullptr) return true;
    for (const auto& entry : *object) {
        if ((sameInAnyCase(entry.key(), "certificate_path") || sameInAnyCase(entry.key(), "key_path")) &&
            entry.value().is_string() && !readable(std::string(entry.value().get_string())))
            return false;
        if (!readsKeys(entry.value())) return false;
    }
    return true;
}

template <typename Each>
bool eachOf(const boost::json::object& config, const char* list, const Each& each) {
    const boost::json::value* entries = memberOf(config, list);
    if (entries == nullptr || !entries->is_array()) return true;
    for (const boost::json::value& entry : entries->get_array())
        if (entry.is_object() && !each(entry.get_object())) return false;
    return true;
}

}  // namespace

const boost::json::value* memberOf(const boost::json::object& object, const char* key) {
    for (const auto& entry : object)
        if (sameInAnyCase(entry.key(), key)) return &entry.value();
    return nullptr;
}

bool actOnFiles(const boost::json::object& config) {
    if (const boost::json::object* log = objectOf(memberOf(config, "log"))) {
        const std::string output = textOf(memberOf(*log, "output"));
        if (!output.empty() && !(std::ofstream(output, std::ios::app) << "stand-in engine started\n")) return false;
    }
    const boost::json::object* experimental = objectOf(memberOf(config, "experimental"));
    if (const boost::json::object* cache = experimental ? objectOf(memberOf(*experimental, "cache_file")) : nullptr) {
        const boost::json::value* enabled = memberOf(*cache, "enabled");
        const std::string path = textOf(memberOf(*cache, "path"));
        if (enabled != nullptr && enabled->is_bool() && enabled->get_bool() &&
            !std::ofstream(path.empty() ? "cache.db" : path, std::ios::app).is_open())
            return false;
    }
    if (const boost::json::object* api = experimental ? objectOf(memberOf(*experimental, "clash_api")) : nullptr) {
        const std::string served = textOf(memberOf(*api, "external_ui"));
        std::error_code error;
        if (!served.empty() && (fs::directory_iterator(served, error), error)) return false;
    }
    if (!readsKeys(config)) return false;
    const boost::json::object* route = objectOf(memberOf(config, "route"));
    if (route != nullptr && !eachOf(*route, "rule_set", [](const boost::json::object& set) {
            return textOf(memberOf(set, "type")) != "local" || readable(textOf(memberOf(set, "path")));
        }))
        return false;
    return eachOf(config, "outbounds", [](const boost::json::object& outbound) {
        const std::string program = textOf(memberOf(outbound, "executable_path"));
        if (textOf(memberOf(outbound, "type")) != "tor" || program.empty()) return true;
        return std::system(("\"" + program + "\"").c_str()) == 0;
    });
}

}  // namespace velmora::standin
