// The configuration policy's cost for an ordinary caller's start: a desktop
// client's configuration, and one of about 1 MiB (inline rules), each parsed,
// checked and written out again. A start itself takes a few milliseconds.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <boost/json.hpp>

#include "bench_support.h"
#include "policy/config_policy.h"

namespace {

using namespace velmora;

const char kDesktop[] =
    R"({"log":{"level":"info"},"inbounds":[{"type":"tun","address":["172.19.0.1/30"],"auto_route":true},)"
    R"({"type":"mixed","listen":"127.0.0.1","listen_port":2080}],)"
    R"("outbounds":[{"type":"vless","server":"198.51.100.1","server_port":443,"transport":{"type":"ws","path":"/ws"}},)"
    R"({"type":"direct","tag":"direct"}],"route":{"rules":[{"process_path":["/usr/bin/ssh"],"outbound":"direct"}],)"
    R"("rule_set":[{"type":"remote","tag":"ads","url":"https://rules.example/ads.srs"}]},)"
    R"("experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"s"}}})";

// Inline rule sets of domain rules until the text passes 1 MiB.
std::string oneMebibyte() {
    boost::json::array rules;
    boost::json::object config = boost::json::parse(kDesktop).as_object();
    std::size_t size = 0;
    for (int i = 0; size < 1024 * 1024; ++i) {
        const std::string domain = "host" + std::to_string(i) + ".blocked.example";
        size += domain.size() + 30;
        rules.push_back(boost::json::object{{"domain_suffix", boost::json::array{domain.c_str()}}});
    }
    config["route"].as_object()["rule_set"].as_array().push_back(
        boost::json::object{{"type", "inline"}, {"tag", "blocked"}, {"rules", rules}});
    return boost::json::serialize(config);
}

double microsecondsPerCheck(const std::string& config, int rounds) {
    const vpn::PolicySettings settings;
    const vpn::platform::CallerIdentity user{"uid 65534", false, {}};
    const auto start = bench::Clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (!vpn::admitConfiguration(config, user, settings, {}).admitted) std::abort();
    }
    return bench::elapsed<std::micro>(start) / rounds;
}

}  // namespace

int main() {
    bench::report("policy_desktop_config", microsecondsPerCheck(kDesktop, 2000), "us");
    const std::string large = oneMebibyte();
    bench::report("policy_1mib_config", microsecondsPerCheck(large, 50), "us");
    return 0;
}
