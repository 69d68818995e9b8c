// What an ordinary caller's configuration may hold, checked without a
// server: each rule from both sides, each limit at its edge.
#include "support/prelude.h"

#include <boost/json.hpp>

#include "policy/config_policy.h"

namespace velmora::vpn {
namespace {

class ConfigPolicy : public ::testing::Test {
protected:
    std::string folder = testing::makeTempFolder("config-policy");
    PolicySettings settings = [this] {
        PolicySettings made;
        made.dataFolder = folder + "/data";
        made.trustedGroup = "trusted";
        made.refuseLowPorts = true;
        return made;
    }();
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
};

std::string notAllowed(const std::string& field, const std::string& why) {
    return "Configuration field " + field + " is not allowed for your user: " + why;
}
const std::string kWrites = "it makes the service write files";
const std::string kReads = "it makes the service read files";
const std::string kServes = "it makes the service serve files";
const std::string kPathLike = "it is named like a file path";

// Fields of the engine's that touch files or programs, wherever the engine
// takes them (the end-to-end tests show the others with the engine acting on
// them), and path fields a newer engine might add; each refused
// with its location and reason, and nothing made on the way. Privileged
// callers and members of the trusted group start the same text unchanged.
TEST_F(ConfigPolicy, FieldsThatTouchFilesOrProgramsAreRefusedForOrdinaryCallersOnly) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"inbounds":[{"type":"https","tls":{"acme":{"domain":["x"]}}}]})",
         notAllowed("inbounds[0].tls.acme", kWrites)},
        {R"({"endpoints":[{"type":"tailscale"}]})", notAllowed("endpoints[0].type (tailscale)", kWrites)},
        {R"({"outbounds":[{"type":"direct"},{"type":"vless","tls":{"certificate_path":"/etc/shadow"}}]})",
         notAllowed("outbounds[1].tls.certificate_path", kReads)},
        {R"({"dns":{"servers":[{"type":"hosts","path":"/etc/shadow"}]}})", notAllowed("dns.servers[0].path", kReads)},
        {R"({"services":[{"type":"api"}]})", notAllowed("services[0].type (api)", kServes)},
        {R"({"experimental":{"debug":{"memory_limit":1}}})",
         notAllowed("experimental.debug", "it changes the service's own process")},
        {R"({"outbounds":[{"type":"socks","path":"/x"}]})", notAllowed("outbounds[0].path", kPathLike)},
        {R"({"x":{"external_ui_2":"/x"}})", notAllowed("x.external_ui_2", kPathLike)},
        // Keys as the engine's decoder matches them: any letter case, and
        // Unicode's long s and Kelvin sign for "s" and "k".
        {R"({"LOG":{"Output":"/x"}})", notAllowed("LOG.Output", kWrites)},
        {"{\"outbounds\":[{\"tls\":{\"\\u212Aey_path\":\"/k\"}}]}",
         notAllowed("outbounds[0].tls.\u212Aey_path", kReads)},
        {"{\"route\":{\"rule_\\u017Fet\":[{\"type\":\"Local\"}]}}",
         notAllowed("route.rule_\u017Fet[0].type (Local)", kReads)},
        // Given twice: the first harmless, exactly or in other letter case.
        {R"({"log":{"level":"info","output":null,"output":"/x"}})", "Configuration gives a field twice in log"},
        {R"({"log":{"level":"info"},"Log":{"output":"/x"}})",
         "Configuration gives the field Log twice in other letter case"},
        {R"([{"log":{}}])", "Configuration is not a JSON object"},
        {R"({"log":)", "Configuration is not valid JSON: incomplete JSON"},
        {R"({"log":{}} {"log":{"output":"/x"}})", "Configuration is not valid JSON: extra data"},
        {R"({"x":1e999})", "Configuration field x holds a number out of range"},
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
    EXPECT_FALSE(fs::exists(settings.dataFolder));
}

// Listeners in one configuration: 16 pass, 17 do not, whatever kind they
// are. Ports below 1024 are refused where only root may bind them (1023
// refused, 1024 and the system's choice, 0, pass), and nowhere else.
TEST_F(ConfigPolicy, ListenersAndLowPortsAreLimitedAtTheirEdges) {
    const auto listeners = [](int inbounds) {
        std::string list = R"({"type":"direct"})";
        for (int i = 1; i < inbounds; ++i) list += R"(,{"type":"direct"})";
        return R"({"endpoints":[{}],"services":[{}],"inbounds":[)" + list + "]}";
    };
    EXPECT_EQ(admit(listeners(14)).listeners, 16);
    EXPECT_EQ(refusal(listeners(15)),
              "Configuration holds 17 listeners (inbounds, endpoints and services); your user may start at most 16 at "
              "once");
    const auto inbound = [](const std::string& port) { return R"({"inbounds":[{"listen_port":)" + port + "}]}"; };
    const auto controller = [](const std::string& address) {
        return R"({"experimental":{"clash_api":{"external_controller":")" + address + R"("}}})";
    };
    const std::string low = "only root may listen on ports below 1024";
    for (const char* port : {"1", "1023"})
        EXPECT_EQ(refusal(inbound(port)), notAllowed("inbounds[0].listen_port", low));
    EXPECT_EQ(refusal(R"({"experimental":{"v2ray_api":{"listen":"[::1]:80"}}})"),
              notAllowed("experimental.v2ray_api.listen", low));
    // Also written as the engine still reads them: leading zeros, a sign, a name looked up ("http" is 80).
    for (const char* address : {"127.0.0.1:1023", "127.0.0.1:0000080", "127.0.0.1:+80", "127.0.0.1:http"})
        EXPECT_EQ(refusal(controller(address)), notAllowed("experimental.clash_api.external_controller", low));
    // 2^64 + 80: too large for the engine, and never read as port 80.
    for (const std::string& passes : {inbound("1024"), inbound("0"), controller("127.0.0.1:01024"), controller(":"),
                                      controller("127.0.0.1:18446744073709551696")})
        EXPECT_TRUE(admit(passes).admitted) << passes;
    settings.refuseLowPorts = false;
    EXPECT_TRUE(admit(inbound("80")).admitted);
}

}  // namespace
}  // namespace velmora::vpn
