#include "policy/field_rules.h"

#include <array>

namespace velmora::vpn::policy {
namespace {

using enum Effect;

// From the engine's configuration documentation (1.13, and 1.14 where
// noted): every field that makes it write, read, serve or run something by
// name, and the ones that change the whole process it runs in.
constexpr std::array kFieldRules{
    FieldRule{"log.output", writes},
    FieldRule{"experimental.cache_file.path", assigned},
    FieldRule{"*.acme", writes},
    FieldRule{"endpoints[].state_directory", writes},
    FieldRule{"outbounds[].data_directory", writes},
    FieldRule{"services[].credential_path", writes},
    FieldRule{"services[].usages_path", writes},
    FieldRule{"services[].cache_path", writes},
    FieldRule{"services[].config_path", writes},
    FieldRule{"*.certificate_path", reads},
    FieldRule{"*.key_path", reads},
    FieldRule{"*.client_certificate_path", reads},
    FieldRule{"*.client_key_path", reads},
    FieldRule{"*.config_path", reads},
    FieldRule{"*.certificate_directory_path", reads},
    FieldRule{"route.rule_set[].path", reads},
    FieldRule{"*.private_key_path", reads},
    FieldRule{"dns.servers[].path", reads},
    FieldRule{"*.mesh_psk_file", reads},
    FieldRule{"*.netns", reads},
    FieldRule{"route.dhcp_lease_files", reads},
    FieldRule{"experimental.clash_api.external_ui", serves},
    FieldRule{"experimental.clash_api.external_ui_download_url", serves},
    FieldRule{"services[].dashboard", serves},
    FieldRule{"outbounds[].executable_path", runs},
    FieldRule{"outbounds[].extra_args", runs},
    FieldRule{"outbounds[].torrc", runs},
    // Memory, thread and crash settings of the runtime the service itself runs on.
    FieldRule{"experimental.debug", process},
};

constexpr std::array kTypeRules{
    TypeRule{"outbounds[]", "tor", runs},   TypeRule{"endpoints[]", "tailscale", writes},
    TypeRule{"services[]", "ccm", writes},  TypeRule{"services[]", "ocm", writes},
    TypeRule{"services[]", "derp", writes}, TypeRule{"services[]", "ssm-api", writes},
    TypeRule{"services[]", "api", serves},  TypeRule{"route.rule_set[]", "local", reads},
};

// Everyday fields whose names look like paths: a transport's, a DNS over
// HTTPS server's and the HTTP outbound's URL path, texts a rule matches, the
// cache file itself (its path is the service's), and TCP's multipath switch.
constexpr std::array kNotPaths{
    NotAPath{"*.transport.path", "", ""},        NotAPath{"dns.servers[].path", "", "hosts"},
    NotAPath{"outbounds[].path", "http", ""},    NotAPath{"*.process_path", "", ""},
    NotAPath{"experimental.cache_file", "", ""}, NotAPath{"*.tcp_multi_path", "", ""},
};

constexpr std::array kPathNames{
    PathName{PathName::Match::suffix, "path"},       PathName{PathName::Match::suffix, "_directory"},
    PathName{PathName::Match::whole, "output"},      PathName{PathName::Match::suffix, "_file"},
    PathName{PathName::Match::suffix, "_files"},     PathName{PathName::Match::prefix, "external_ui"},
    PathName{PathName::Match::prefix, "executable"},
};

}  // namespace

std::string_view effectText(Effect effect) {
    switch (effect) {
        case writes:
            return "it makes the service write files";
        case reads:
            return "it makes the service read files";
        case serves:
            return "it makes the service serve files";
        case runs:
            return "it makes the service run programs";
        case process:
            return "it changes the service's own process";
        case assigned:
            return "the service sets it";
        case pathLike:
            return "it is named like a file path";
    }
    return {};
}

std::span<const FieldRule> fieldRules() { return kFieldRules; }
std::span<const TypeRule> typeRules() { return kTypeRules; }
std::span<const NotAPath> notPaths() { return kNotPaths; }
std::span<const PathName> pathNames() { return kPathNames; }

bool matches(std::string_view rule, std::string_view location) {
    if (!rule.starts_with("*.")) return rule == location;
    const std::string_view tail = rule.substr(1);  // ".key"
    return location == tail.substr(1) || location.ends_with(tail);
}

}  // namespace velmora::vpn::policy
