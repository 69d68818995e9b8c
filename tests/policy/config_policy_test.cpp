// What an ordinary caller's configuration may hold, checked without a
// server: each rule from both sides, each limit at its edge.
#include "support/prelude.h"

#include <boost/json.hpp>

#include "bench_support.h"
#include "policy/config_policy.h"
#include "reviewed_configurations.h"

namespace velmora::vpn {
namespace {

class ConfigPolicy : public ::testing::Test {
protected:
    std::string folder = testing::makeTempFolder("config-policy");
    PolicySettings settings{.dataFolder = folder + "/data", .trustedGroup = "trusted", .refuseLowPorts = true};
    platform::CallerIdentity ordinary{testing::ordinaryUser(65534), false, {"users", "staff"}};

    void TearDown() override { fs::remove_all(folder); }
    Admission admit(const std::string& config, const platform::CallerIdentity& caller) {
        return admitConfiguration(config, caller, settings, {});
    }
    Admission admit(const std::string& config) { return admit(config, ordinary); }
    std::string refusal(const std::string& config) {
        const Admission admission = admit(config);
        EXPECT_FALSE(admission.admitted) << config;
        EXPECT_EQ(admission.config, "");
        return admission.refusal;
    }
    // A file in the user's own folder, named as the system names it.
    std::string ownFile(const std::string& name) const {
        const std::string separator = folder.find('\\') != std::string::npos ? "\\" : "/";
        const std::string id = ordinary.user.substr(ordinary.user.rfind(' ') + 1);
        return settings.dataFolder + separator + "users" + separator + id + separator + name;
    }
    static boost::json::value cachePath(const Admission& admission) {
        return boost::json::parse(admission.config).at("experimental").at("cache_file").at("path");
    }
};

std::string notAllowed(const std::string& field, const std::string& why) {
    return "Configuration field " + field + " is not allowed for your user: " + why;
}
std::string notReviewed(const std::string& field) {
    return "Configuration field " + field + " is not reviewed for your user";
}
std::string wrongKind(const std::string& field) {
    return "Configuration field " + field + " holds a kind of value not reviewed for your user";
}
const std::string kWrites = "it makes the service write files";
const std::string kReads = "it makes the service read files";
const std::string kPathLike = "it is named like a file path";

// What nobody reviewed, and fields of the engine's that touch files or
// programs wherever the engine takes them (the end-to-end tests show the
// engine acting on them), each refused with its location and reason, and
// nothing made on the way. Privileged callers and members of the trusted
// group start the same text unchanged.
TEST_F(ConfigPolicy, WhatIsNotReviewedOrTouchesFilesIsRefusedForOrdinaryCallersOnly) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Types and forms nobody reviewed (the end-to-end test has servers for others, services and sections).
        {R"({"outbounds":[{"type":"direct"},{"type":"snell"}]})", notReviewed("outbounds[1].type (snell)")},
        {R"({"inbounds":[{"listen_port":0}]})", "Configuration field inbounds[0] names no type reviewed for your user"},
        {R"({"route":{"rules":[{"type":5}]}})", notReviewed("route.rules[0].type")},
        // A reviewed field in a form nobody reviewed.
        {R"({"outbounds":[{"type":"direct","tag":{"type":"file"}}]})", wrongKind("outbounds[0].tag")},
        {R"({"inbounds":[7]})", wrongKind("inbounds[0]")},
        {R"({"route":{"rules":{"outbound":"direct"}}})", wrongKind("route.rules")},
        {R"({"dns":{"rules":[{"domain":[["x"]]}]}})", wrongKind("dns.rules[0].domain[0]")},
        {R"({"outbounds":[{"type":"http","headers":{"A":{"b":1}}}]})", wrongKind("outbounds[0].headers.A")},
        {R"({"log":"x"})", wrongKind("log")},
        {R"({"inbounds":[{"type":"mixed","listen_port":[80]}]})", wrongKind("inbounds[0].listen_port")},
        {R"({"experimental":{"clash_api":{"external_controller":["127.0.0.1:80"]}}})",
         wrongKind("experimental.clash_api.external_controller")},
        // Known to reach files, with the reason.
        {R"({"inbounds":[{"type":"http","tls":{"acme":{"domain":["x"]}}}]})",
         notAllowed("inbounds[0].tls.acme", kWrites)},
        {R"({"endpoints":[{"type":"tailscale"}]})", notAllowed("endpoints[0].type (tailscale)", kWrites)},
        {R"({"outbounds":[{"type":"direct"},{"type":"vless","tls":{"certificate_path":"/etc/shadow"}}]})",
         notAllowed("outbounds[1].tls.certificate_path", kReads)},
        {R"({"dns":{"servers":[{"type":"hosts","path":"/etc/shadow"}]}})", notAllowed("dns.servers[0].path", kReads)},
        {R"({"inbounds":[{"type":"tun","netns":"/run/netns/x"}]})", notAllowed("inbounds[0].netns", kReads)},
        {R"({"outbounds":[{"type":"direct","torrc":{}}]})",
         notAllowed("outbounds[0].torrc", "it makes the service run programs")},
        {R"({"experimental":{"debug":{"memory_limit":1}}})",
         notAllowed("experimental.debug", "it changes the service's own process")},
        {R"({"outbounds":[{"type":"socks","path":"/x"}]})", notAllowed("outbounds[0].path", kPathLike)},
        {R"({"experimental":{"clash_api":{"external_ui_2":"/x"}}})",
         notAllowed("experimental.clash_api.external_ui_2", kPathLike)},
        // Keys as the engine's decoder matches them: any letter case, and
        // Unicode's long s and Kelvin sign for "s" and "k".
        {R"({"LOG":{"Output":"/x"}})", notAllowed("LOG.Output", kWrites)},
        {"{\"outbounds\":[{\"type\":\"vless\",\"tls\":{\"\\u212Aey_path\":\"/k\"}}]}",
         notAllowed("outbounds[0].tls.\u212Aey_path", kReads)},
        {"{\"route\":{\"rule_\\u017Fet\":[{\"type\":\"Local\"}]}}",
         notAllowed("route.rule_\u017Fet[0].type (Local)", kReads)},
        {"{\"dn\\u0140\":{},\"dns\":{}}", notReviewed("dn\u0140")},  // and their neighbours for nothing
        // Given twice: the first harmless, exactly or in other letter case.
        {R"({"log":{"level":"info","output":null,"output":"/x"}})", "Configuration gives a field twice in log"},
        {R"({"log":{"level":"info"},"Log":{"output":"/x"}})",
         "Configuration gives the field Log twice in other letter case"},
        {R"({"outbounds":[{"type":"http","headers":{"A":"1","A":"2"}}]})",
         "Configuration gives a field twice in outbounds[0].headers"},
        {R"([{"log":{}}])", "Configuration is not a JSON object"},
        {R"({"log":)", "Configuration is not valid JSON: incomplete JSON"},
        {R"({"log":{}} {"log":{"output":"/x"}})", "Configuration is not valid JSON: extra data"},
        {R"({"log":{"level":1e999}})", "Configuration field log.level holds a number out of range"},
        {R"({"outbounds":[{"type":"http","headers":{"A":[1e999]}}]})",
         "Configuration field outbounds[0].headers.A[0] holds a number out of range"},
    };
    const platform::CallerIdentity member{ordinary.user, false, {"users", "trusted"}};
    const platform::CallerIdentity privileged{ordinary.user, true, {}};
    for (const auto& [config, text] : cases) {
        EXPECT_EQ(refusal(config), text) << config;
        for (const auto& trusted : {member, privileged}) {
            const Admission admission = admit(config, trusted);
            EXPECT_TRUE(admission.admitted) << config;
            EXPECT_EQ(admission.config, config);
            EXPECT_EQ(admission.listeners, 0);
        }
    }
    // Each name that looks like a path is refused as one, before the review is asked.
    for (const std::string key : {"a_directory", "a_file", "a_files", "output", "executable_a"})
        EXPECT_EQ(refusal(R"({"outbounds":[{"type":"socks",")" + key + R"(":"/x"}]})"),
                  notAllowed("outbounds[0]." + key, kPathLike));
    EXPECT_FALSE(fs::exists(settings.dataFolder));
}

// Every reviewed field of every reviewed structure, in a configuration for
// each top-level section (reviewed_configurations.json), passes: the review
// is pinned once, so a field dropped from it or misspelt fails here by its
// location, and a change to it is made in both places on purpose.
TEST_F(ConfigPolicy, EveryReviewedFieldPasses) {
    const boost::json::value configurations = boost::json::parse(kReviewedConfigurations);
    for (const boost::json::value& config : configurations.as_array()) {
        const Admission admission = admit(boost::json::serialize(config));
        EXPECT_TRUE(admission.admitted) << admission.refusal;
    }
}

// The keys of maps are the caller's data, kept as written: headers that
// differ only in letter case or are named like a path, hosts likewise. The
// desktop configuration passes as it is but for the cache file's path.
TEST_F(ConfigPolicy, MapsAreDataAndADesktopConfigurationPasses) {
    const std::string maps =
        R"({"outbounds":[{"type":"http","headers":{"X-Original-Path":"/a","x-original-path":"/b"}}],)"
        R"("dns":{"servers":[{"type":"hosts","predefined":{"Host.lan":"10.0.0.1","host.lan":["10.0.0.2"]}}]}})";
    const Admission passed = admit(maps);
    EXPECT_TRUE(passed.admitted) << passed.refusal;
    EXPECT_EQ(passed.config, maps);
    const Admission desktop = admit(bench::desktopConfiguration(2080, 9090));
    ASSERT_TRUE(desktop.admitted) << desktop.refusal;
    EXPECT_EQ(desktop.listeners, 4);  // tun, mixed, wireguard and the controller
    boost::json::value expected = boost::json::parse(bench::desktopConfiguration(2080, 9090));
    expected.at("experimental").at("cache_file").as_object()["path"] = ownFile("cache-776f726b.db");
    EXPECT_EQ(boost::json::parse(desktop.config), expected);
}

// Listeners in one configuration, inbounds, endpoints and controllers
// alike: 16 pass, 17 do not. Ports below 1024 are refused where only root
// may bind them, as numbers or text and in any field that listens (1023
// refused, 1024 and the system's choice, 0, pass), and nowhere else.
TEST_F(ConfigPolicy, ListenersAndLowPortsAreLimitedAtTheirEdges) {
    const auto config = [](int inbounds, const std::string& more) {
        std::string list = R"({"type":"mixed"})";
        for (int i = 1; i < inbounds; ++i) list += R"(,{"type":"socks"})";
        return R"({"inbounds":[)" + list + "]" + more + "}";
    };
    const std::string clash = R"(,"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090"}})";
    const std::string both =
        R"(,"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090"},"v2ray_api":{"listen":":0"}})";
    const std::string endpoint = R"(,"endpoints":[{"type":"wireguard"}])";
    EXPECT_EQ(admit(config(15, clash)).listeners, 16);
    EXPECT_EQ(admit(config(16, R"(,"experimental":{"clash_api":{"external_controller":""}})")).listeners, 16);
    const std::string seventeen =
        "Configuration holds 17 listeners (inbounds, endpoints and controllers); your user "
        "may start at most 16 at once";
    for (const std::string& more : {both, endpoint + clash}) EXPECT_EQ(refusal(config(15, more)), seventeen);

    const auto inbound = [](const std::string& port) {
        return R"({"inbounds":[{"type":"mixed","listen_port":)" + port + "}]}";
    };
    const auto controller = [](const std::string& address) {
        return R"({"experimental":{"clash_api":{"external_controller":")" + address + R"("}}})";
    };
    const std::string low = "only root may listen on ports below 1024";
    for (const char* port : {"1", "1023", "\"80\"", "80.0", "0.5"})
        EXPECT_EQ(refusal(inbound(port)), notAllowed("inbounds[0].listen_port", low)) << port;
    EXPECT_EQ(refusal(R"({"endpoints":[{"type":"wireguard","listen_port":53}]})"),
              notAllowed("endpoints[0].listen_port", low));
    EXPECT_EQ(refusal(R"({"experimental":{"v2ray_api":{"listen":"[::1]:80"}}})"),
              notAllowed("experimental.v2ray_api.listen", low));
    // Also written as the engine still reads them: leading zeros, a sign, a name looked up ("http" is 80).
    for (const char* address : {"127.0.0.1:1023", "127.0.0.1:0000080", "127.0.0.1:+80", "127.0.0.1:http"})
        EXPECT_EQ(refusal(controller(address)), notAllowed("experimental.clash_api.external_controller", low));
    // 2^64 + 80: too large for the engine, and never read as port 80; a remote port is no listener.
    for (const std::string& passes : {inbound("1024"), inbound("0"), inbound("\"-80\""), controller("127.0.0.1:01024"),
                                      controller(":"), controller("127.0.0.1:18446744073709551696"),
                                      std::string(R"({"outbounds":[{"type":"socks","server_port":80}]})")})
        EXPECT_TRUE(admit(passes).admitted) << passes;
    settings.refuseLowPorts = false;
    EXPECT_TRUE(admit(inbound("80")).admitted);
}

// Each profile's cache is a file of its own in the user's folder, named by
// its cache id in hex (no id: cache.db); an id longer than 64 bytes, and a
// folder whose files take the most bytes allowed, are refused. The folder
// lists what it holds; no start without an enabled cache makes it.
TEST_F(ConfigPolicy, EachProfileKeepsItsCacheInAFileOfItsOwnWithinTheFoldersBounds) {
    const auto cache = [](const std::string& members) {
        return R"({"experimental":{"cache_file":{)" + members + "}}}";
    };
    EXPECT_EQ(admit(cache(R"("enabled":false,"cache_id":"a")")).cache.name, "");
    EXPECT_FALSE(fs::exists(settings.dataFolder));
    const Admission plain = admit(cache(R"("Enabled":true)"));
    EXPECT_EQ(plain.cache.name, "cache.db");
    EXPECT_EQ(cachePath(plain), ownFile("cache.db").c_str());
    EXPECT_EQ(admit(cache(R"("enabled":true,"cache_id":"../\u00e9")")).cache.name, "cache-2e2e2fc3a9.db");
    std::string hex;
    for (int i = 0; i < 64; ++i) hex += "78";
    const std::string longest(64, 'x');
    const Admission named = admit(cache(R"("enabled":true,"cache_id":")" + longest + "\""));
    EXPECT_EQ(cachePath(named), ownFile("cache-" + hex + ".db").c_str());
    EXPECT_EQ(refusal(cache(R"("enabled":true,"cache_id":")" + longest + "x\"")),
              "Configuration field experimental.cache_file.cache_id is longer than 64 bytes");

    settings.maxCacheBytes = 100;
    std::ofstream(ownFile("cache.db")) << std::string(60, 'c');
    std::ofstream(ownFile("cache-61.db")) << std::string(39, 'c');
    fs::create_directory(ownFile("cache-62.db"));  // no file: no bytes
    const Admission below = admit(cache(R"("enabled":true,"cache_id":"a")"));
    EXPECT_THAT(below.cache.present, ::testing::UnorderedElementsAre("cache.db", "cache-61.db", "cache-62.db"));
    std::ofstream(ownFile("cache-61.db"), std::ios::app) << 'c';
    EXPECT_EQ(refusal(cache(R"("enabled":true)")), "Your user's cache files take 100 bytes; at most 100 may be kept");
}

}  // namespace
}  // namespace velmora::vpn
