// The configuration policy's cost for an ordinary caller's start: a desktop
// client's configuration, and one of about 1 MiB (inline rules), each parsed,
// checked and written out again, with the cache file in the user's folder;
// beside it, the 1 MiB text only parsed and written out again.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <boost/json.hpp>

#include "bench_platform.h"
#include "bench_support.h"
#include "policy/config_policy.h"

namespace {

using namespace velmora;

// Inline rule sets of domain rules until the text passes 1 MiB.
std::string oneMebibyte() {
    boost::json::array rules;
    boost::json::object config = boost::json::parse(bench::desktopConfiguration(2080)).as_object();
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
    vpn::PolicySettings settings;
    settings.dataFolder = (std::filesystem::temp_directory_path() / "velmora-bench-policy").string();
    const vpn::platform::CallerIdentity user{bench::ordinaryUserName(), false, {}};
    const auto start = bench::Clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (!vpn::admitConfiguration(config, user, settings, {}).admitted) std::abort();
    }
    return bench::elapsed<std::micro>(start) / rounds;
}

// The same text parsed and written out again, and nothing else: what any
// check that hands the engine what it checked costs at the least.
double microsecondsPerRoundTrip(const std::string& config, int rounds) {
    const auto start = bench::Clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (boost::json::serialize(boost::json::parse(config)).empty()) std::abort();
    }
    return bench::elapsed<std::micro>(start) / rounds;
}

}  // namespace

int main() {
    bench::report("policy_desktop_config", microsecondsPerCheck(bench::desktopConfiguration(2080), 2000), "us");
    const std::string large = oneMebibyte();
    bench::report("policy_1mib_config", microsecondsPerCheck(large, 50), "us");
    bench::report("json_1mib_parse_and_write", microsecondsPerRoundTrip(large, 50), "us");
    std::filesystem::remove_all(std::filesystem::temp_directory_path() / "velmora-bench-policy");
    return 0;
}
