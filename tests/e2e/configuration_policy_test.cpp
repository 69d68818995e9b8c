// What an ordinary local user's configuration can make the service do, with
// the real client, server and stand-in engine, which acts on the fields that
// name files and programs as the engine does. The service is root here.
#include "support/prelude.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>

#include "backend/singbox_in_process_backend.h"
#include "engine_client_examples.h"

namespace velmora::vpn {
namespace {

constexpr std::uint32_t kTrustedGroup = 4242;

// A port below 1024 that nothing listens on, for root's own start.
std::uint16_t freeLowPort() {
    for (std::uint16_t port = 1000; port > 900; --port)
        if (!testing::tcpPortAccepts(port)) return port;
    return 0;
}

// Whether user `uid` may open `path`: list a folder, or read a file.
bool userMayOpen(std::uint32_t uid, const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(2);
        _exit(open(path.c_str(), O_RDONLY) >= 0 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class ConfigurationPolicy : public ::testing::Test {
protected:
    std::string folder = testing::makeTempFolder("policy");
    std::string rootOnly = folder + "/root-only";  // where no ordinary user may write
    std::string users = folder + "/users-own";     // a folder user 65534 owns
    SingBoxInProcessBackend backend;
    testing::LogRecorder logs;
    std::unique_ptr<testing::RunningServer> server;

    void SetUp() override {
        if (!testing::canRunAsAnotherUser()) GTEST_SKIP() << "needs root to act as other users";
        fs::create_directories(rootOnly);
        fs::create_directories(users);
        chmod(folder.c_str(), 0755);
        chmod(rootOnly.c_str(), 0700);
        ASSERT_EQ(chown(users.c_str(), 65534, 65534), 0);
        PipeServerSettings settings = testing::fastSettings();
        settings.policy.dataFolder = folder + "/data";
        settings.policy.trustedGroup = "gid " + std::to_string(kTrustedGroup);
        settings.instanceLinesPerSecond = 1000;
        settings.instanceBytesPerSecond = settings.ordinaryBytesPerSecond = 1000000;
        server = std::make_unique<testing::RunningServer>(backend, logs.callback(), settings);
    }
    void TearDown() override {
        server.reset();
        backend.stopAllInstances();
        fs::remove_all(folder);
    }
    std::string pipe() const { return platform::toUtf8(server->pipeName()); }
    // A start of `config` by user `uid`, in group `group` besides its own when given.
    // The configuration goes in a file the user may read: a command line could not hold every one.
    ProgramRun start(std::uint32_t uid, const std::string& config, std::uint32_t group = 0) {
        const std::string file = folder + "/config-" + std::to_string(++configs) + ".json";
        std::ofstream(file) << config;
        return testing::clientAs(uid, {"--pipe-name", pipe(), "start", "--config", file}, group);
    }
    int configs = 0;
    void stopAll() {
        ASSERT_EQ(sendRequest(server->pipeName(), R"({"command":"stopAll"})").response, testing::okAnswer("{}"));
    }
};

struct Attack {
    std::string config;
    std::string field;  // as the refusal names it, in the letter case of `config`
    std::string why;    // what the refusal says of it
    bool visible;       // whether what the engine does leaves a trace to look for
};

// The configuration with every key in upper case, and a field so named.
std::string upperKeys(std::string text) {
    for (std::size_t end = text.find("\":"); end != std::string::npos; end = text.find("\":", end + 1))
        for (std::size_t at = text.rfind('"', end - 1) + 1; at < end; ++at)
            text[at] = static_cast<char>(std::toupper(text[at]));
    return text;
}
std::string upperField(std::string field) {
    std::transform(field.begin(), field.begin() + static_cast<long>(std::min(field.find(" ("), field.size())),
                   field.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    return field;
}

// Each attack, plain, in other letter case, and behind a harmless first
// occurrence of its key, is refused for an ordinary user with its text and
// leaves no file, program run or listener; a member of the operator's group
// and root start each unchanged, and the engine then does what it was told.
TEST_F(ConfigurationPolicy, AttacksAreRefusedForOrdinaryUsersOnlyAndLeaveNothingBehind) {
    fs::create_symlink(rootOnly + "/cache.db", users + "/c.db");
    const std::string script = users + "/tor.sh";
    std::ofstream(script) << "#!/bin/sh\ntouch " << rootOnly << "/tor-ran\n";
    chmod(script.c_str(), 0755);
    ASSERT_EQ(chown(script.c_str(), 65534, 65534), 0);
    const std::uint16_t lowPort = freeLowPort();
    ASSERT_NE(lowPort, 0);
    const std::uint16_t served = testing::freeTcpPort();   // a server for others
    const std::uint16_t proxied = testing::freeTcpPort();  // a local proxy with a field nobody reviewed
    const std::string writes = "is not allowed for your user: it makes the service write files";
    const std::string notReviewed = "is not reviewed for your user";
    const std::string hysteria = R"({"inbounds":[{"type":"hysteria2","listen":"127.0.0.1","listen_port":)" +
                                 std::to_string(served) + R"(,"users":[{"password":"p"}],"masquerade":)";
    const std::vector<Attack> attacks = {
        {R"({"log":{"output":")" + rootOnly + R"(/engine.log"}})", "log.output", writes, true},
        {R"({"experimental":{"cache_file":{"enabled":true,"path":")" + users + R"(/c.db"}}})",
         "experimental.cache_file.path", "is not allowed for your user: the service sets it", true},
        {R"({"route":{"rule_set":[{"type":"local","tag":"s","path":"/etc/shadow"}]}})",
         "route.rule_set[0].type (local)", "is not allowed for your user: it makes the service read files", false},
        {R"({"experimental":{"clash_api":{"external_ui":"/root"}}})", "experimental.clash_api.external_ui",
         "is not allowed for your user: it makes the service serve files", false},
        {R"({"outbounds":[{"type":"tor","executable_path":")" + script + R"("}]})", "outbounds[0].type (tor)",
         "is not allowed for your user: it makes the service run programs", true},
        {R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":)" + std::to_string(lowPort) + "}]}",
         "inbounds[0].listen_port", "is not allowed for your user: only root may listen on ports below 1024", true},
        // What nobody reviewed: a file server for every client that fails to
        // log in, in text and in object form; a DNS service on port 53 by
        // default; a type and a section nobody reviewed; a field nobody
        // reviewed in a local proxy.
        {hysteria + R"("file:///etc"}]})", "inbounds[0].type (hysteria2)", notReviewed, true},
        {hysteria + R"({"type":"file","directory":"/root"}}]})", "inbounds[0].type (hysteria2)", notReviewed, true},
        {R"({"services":[{"type":"resolved"}]})", "services", notReviewed, false},
        {R"({"outbounds":[{"type":"mieru","server":"198.51.100.1"}]})", "outbounds[0].type (mieru)", notReviewed,
         false},
        {R"({"providers":[{"type":"remote","url":"https://x.example"}]})", "providers", notReviewed, false},
        {R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":)" + std::to_string(proxied) +
             R"(,"fallback":{"server":"127.0.0.1","server_port":80}}]})",
         "inbounds[0].fallback", notReviewed, true},
    };
    const auto leftBehind = [&] {
        return fs::exists(rootOnly + "/engine.log") || fs::exists(rootOnly + "/cache.db") ||
               fs::exists(rootOnly + "/tor-ran") || testing::tcpPortAccepts(lowPort) ||
               testing::tcpPortAccepts(served) || testing::tcpPortAccepts(proxied);
    };
    for (const Attack& attack : attacks) {
        const std::string key = attack.config.substr(2, attack.config.find('"', 2) - 2);
        const std::vector<std::pair<std::string, std::string>> variants = {
            {attack.config, "Configuration field " + attack.field + " " + attack.why},
            {upperKeys(attack.config), "Configuration field " + upperField(attack.field) + " " + attack.why},
            {"{\"" + key + "\":{}," + attack.config.substr(1), "Configuration gives a field twice in its top level"},
        };
        for (const auto& [config, refusal] : variants) {
            EXPECT_THAT(start(65534, config), Ran(1u, testing::errorAnswer(refusal) + "\n", ""));
            EXPECT_FALSE(leftBehind()) << config;
            for (const std::uint32_t uid : {65534u, 0u}) {  // in the trusted group, and root
                EXPECT_THAT(start(uid, config, kTrustedGroup).output, HasSubstr(R"("ok":true)")) << uid << config;
                EXPECT_TRUE(!attack.visible || testing::waitUntil(leftBehind)) << uid << " " << config;
                stopAll();
                for (const char* name : {"engine.log", "cache.db", "tor-ran"}) fs::remove(rootOnly + "/" + name);
                EXPECT_TRUE(testing::waitUntil([&] { return !leftBehind(); }));
            }
        }
    }
    EXPECT_TRUE(logs.shows("Refused a configuration of uid 65534: Configuration field log.output is not allowed"));
    EXPECT_FALSE(fs::exists(folder + "/data"));  // a refusal makes no folder either
}

// A desktop client's configuration starts for an ordinary user as it is,
// listening on every address (IPv6 too, where the machine has it), with the
// profile's cache in a root-owned folder of the user's own that no other
// user may list or read. A second profile gets a file of its own; a start
// of a running profile's cache is refused. A folder the user made there
// first is not used.
TEST_F(ConfigurationPolicy, ADesktopConfigurationRunsWithACacheOfItsOwnInAPrivateFolder) {
    const std::string any = testing::ipv6Available() ? "::" : "0.0.0.0";
    const std::uint16_t ports[] = {testing::freeTcpPort(), testing::freeTcpPort(), testing::freeTcpPort(),
                                   testing::freeTcpPort()};
    const std::string work = bench::desktopConfiguration(ports[0], ports[1], any);
    std::string home = bench::desktopConfiguration(ports[2], ports[3]);
    home.replace(home.find(R"("cache_id":"work")"), 17, R"("cache_id":"home")");
    const std::string controller = "127.0.0.1:" + std::to_string(ports[3]);
    if (any == "::") home.replace(home.find(controller), controller.size(), "[::1]:" + std::to_string(ports[3]));
    EXPECT_THAT(start(65534, work).output, HasSubstr(R"("ok":true)"));
    EXPECT_THAT(start(65534, home).output, HasSubstr(R"("ok":true)"));
    for (const std::uint16_t port : {ports[0], ports[1], ports[2]}) EXPECT_TRUE(testing::tcpPortAccepts(port)) << port;
    EXPECT_EQ(testing::tcpPortAccepts(ports[0], true), any == "::");
    EXPECT_TRUE(testing::tcpPortAccepts(ports[3], any == "::"));
    EXPECT_EQ(testing::tcpPortAccepts(ports[3]), any != "::");  // [::1] is no IPv4 address
    const std::string own = folder + "/data/users/65534";
    const std::string cache = own + "/cache-776f726b.db";  // "work"
    struct stat made {};
    ASSERT_EQ(stat(own.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u);
    for (const std::string& file : {cache, own + "/cache-686f6d65.db"}) {
        struct stat kept {};
        ASSERT_EQ(stat(file.c_str(), &kept), 0) << file;
        EXPECT_EQ(kept.st_uid + made.st_uid, 0u);
    }
    EXPECT_THAT(start(65534, bench::desktopConfiguration(testing::freeTcpPort())).output,
                HasSubstr("Your user runs a profile with this cache already"));
    EXPECT_FALSE(userMayOpen(65533, own) || userMayOpen(65533, cache));
    EXPECT_TRUE(userMayOpen(0, own) && userMayOpen(0, cache));
    stopAll();

    // Made beforehand by the user: refused, and the log says why.
    fs::create_directories(folder + "/data/users/65532");
    ASSERT_EQ(chown((folder + "/data/users/65532").c_str(), 65532, 65532), 0);
    EXPECT_THAT(start(65532, work), Ran(1u, testing::errorAnswer("Your user's data folder cannot be used") + "\n", ""));
    EXPECT_TRUE(logs.shows("Refused a configuration of uid 65532: Your user's data folder cannot be used (" + folder +
                           "/data/users/65532 is owned by user 65532)"));
    EXPECT_FALSE(fs::exists(folder + "/data/users/65532/cache-776f726b.db"));
}

// The client examples of the engine's documentation (engine_client_examples.json,
// each with its page) start for an ordinary user: as they are, or adapted as
// docs/protocol.md asks (certificates inline, rule sets for geoip and geosite,
// the hijack-dns action for the dns outbound, the tun's address for its
// inet4_address).
TEST_F(ConfigurationPolicy, TheEnginesClientExamplesStart) {
    const boost::json::value examples = boost::json::parse(kEngineClientExamples);
    for (const boost::json::value& example : examples.as_array()) {
        EXPECT_THAT(start(65534, boost::json::serialize(example.at("config"))).output, HasSubstr(R"("ok":true)"))
            << example.at("page");
    }
    stopAll();
}

// An ordinary user's configuration of 16 inbounds and both controllers is
// refused: nothing of it listens; 15 and a controller, the most it may hold,
// all listen. While the user holds everything the policy lets it hold, root
// is answered at once.
TEST_F(ConfigurationPolicy, WhatAUserMayHoldLeavesTheServiceToOthers) {
    std::vector<std::uint16_t> ports;
    boost::json::array inbounds;
    for (int i = 0; i < 16; ++i) {
        ports.push_back(testing::freeTcpPort());
        inbounds.push_back({{"type", "mixed"}, {"listen", "127.0.0.1"}, {"listen_port", ports.back()}});
    }
    for (int controller = 0; controller < 2; ++controller) ports.push_back(testing::freeTcpPort());
    const auto controllers = [&](bool both) {
        boost::json::object experimental{
            {"clash_api", {{"external_controller", "127.0.0.1:" + std::to_string(ports[16])}}}};
        if (both) experimental["v2ray_api"] = {{"listen", "127.0.0.1:" + std::to_string(ports[17])}};
        return boost::json::serialize(boost::json::object{{"inbounds", inbounds}, {"experimental", experimental}});
    };
    const auto serving = [&] { return std::ranges::count_if(ports, [](int p) { return testing::tcpPortAccepts(p); }); };
    EXPECT_THAT(start(65534, controllers(true)).output, HasSubstr("holds 18 listeners (inbounds, endpoints and"));
    EXPECT_EQ(serving(), 0);
    inbounds.pop_back();
    EXPECT_THAT(start(65534, controllers(false)).output, HasSubstr(R"("ok":true)"));
    EXPECT_EQ(serving(), 16);
    stopAll();

    const std::string two = R"({"inbounds":[{"type":"mixed","listen_port":0},{"type":"mixed","listen_port":0}]})";
    for (int i = 0; i < 16; ++i) EXPECT_THAT(start(65534, two).output, HasSubstr(R"("ok":true)")) << i;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(sendRequest(server->pipeName(), testing::pingRequest(1)).response, testing::pingAnswer(1));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
}

// A user's refused starts that each name a 1 MB key cannot stretch the log:
// each line carries the first 200 bytes of what the caller chose and the
// whole length, the user's lines are limited in bytes as well as in number,
// and the service's first lines stay in a log of 8 MiB.
TEST_F(ConfigurationPolicy, RefusedStartsOfHugeKeysGrowTheLogByLittle) {
    const std::string log = folder + "/service.log";
    const std::string pipeName = platform::toUtf8(testing::uniquePipeName());
    testing::SiblingProcess service("VelmoraVpnService", {"--console", "--pipe-name", pipeName, "--log-file", log});
    ASSERT_TRUE(testing::waitUntil([&] { return sendRequest(platform::fromUtf8(pipeName), "{}").delivered; }));
    const std::uintmax_t before = fs::file_size(log);
    const std::string file = folder + "/huge.json";
    std::ofstream(file) << R"({")" << std::string(1000000, 'k') << R"(":1})";
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(testing::clientAs(65534, {"--pipe-name", pipeName, "start", "--config", file}).exitCode, 1u) << i;
    }
    service.interrupt();
    service.wait();
    const std::string written = testing::readFile(log);
    EXPECT_LT(written.size() - before, 256u * 1024);
    EXPECT_THAT(written, HasSubstr("Velmora VPN service runtime starting"));
    EXPECT_THAT(written, HasSubstr("Refused a configuration of uid 65534: Configuration field " +
                                   std::string(200 - 20, 'k') + "... [cut, 1000050 bytes in all]\n"));
}

}  // namespace
}  // namespace velmora::vpn
