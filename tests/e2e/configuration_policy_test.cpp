// What an ordinary local user's configuration can make the service do, with
// the real client, server and stand-in engine, which acts on the fields that
// name files and programs as the engine does. The service is root here.
#include "support/prelude.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>

#include "backend/singbox_in_process_backend.h"

namespace velmora::vpn {
namespace {

constexpr std::uint32_t kTrustedGroup = 4242;

// A port below 1024 that nothing listens on, for root's own start.
std::uint16_t freeLowPort() {
    for (std::uint16_t port = 1000; port > 900; --port)
        if (!testing::tcpPortAccepts(port)) return port;
    return 0;
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
    std::string why;
    bool visible;  // whether what the engine does leaves a trace to look for
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
    const std::string writes = "it makes the service write files";
    const std::vector<Attack> attacks = {
        {R"({"log":{"output":")" + rootOnly + R"(/engine.log"}})", "log.output", writes, true},
        {R"({"experimental":{"cache_file":{"enabled":true,"path":")" + users + R"(/c.db"}}})",
         "experimental.cache_file.path", "the service sets it", true},
        {R"({"route":{"rule_set":[{"type":"local","tag":"s","path":"/etc/shadow"}]}})",
         "route.rule_set[0].type (local)", "it makes the service read files", false},
        {R"({"experimental":{"clash_api":{"external_ui":"/root"}}})", "experimental.clash_api.external_ui",
         "it makes the service serve files", false},
        {R"({"outbounds":[{"type":"tor","executable_path":")" + script + R"("}]})", "outbounds[0].type (tor)",
         "it makes the service run programs", true},
        {R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":)" + std::to_string(lowPort) + "}]}",
         "inbounds[0].listen_port", "only root may listen on ports below 1024", true},
    };
    const auto leftBehind = [&] {
        return fs::exists(rootOnly + "/engine.log") || fs::exists(rootOnly + "/cache.db") ||
               fs::exists(rootOnly + "/tor-ran") || testing::tcpPortAccepts(lowPort);
    };
    for (const Attack& attack : attacks) {
        const std::string key = attack.config.substr(2, attack.config.find('"', 2) - 2);
        const std::vector<std::pair<std::string, std::string>> variants = {
            {attack.config, "Configuration field " + attack.field + " is not allowed for your user: " + attack.why},
            {upperKeys(attack.config),
             "Configuration field " + upperField(attack.field) + " is not allowed for your user: " + attack.why},
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
// with its cache in a root-owned folder of the user's own; another user's
// cache is elsewhere. A folder the user made there first is not used.
TEST_F(ConfigurationPolicy, ADesktopConfigurationKeepsItsCacheInTheUsersOwnRootOwnedFolder) {
    const std::string desktop = bench::desktopConfiguration(testing::freeTcpPort());
    for (const std::uint32_t uid : {65534u, 65533u}) {
        EXPECT_THAT(start(uid, desktop).output, HasSubstr(R"("ok":true)"));
        const std::string own = folder + "/data/users/" + std::to_string(uid);
        struct stat cache {
        }, made{};
        ASSERT_EQ(stat((own + "/cache.db").c_str(), &cache) | stat(own.c_str(), &made), 0) << own;
        EXPECT_EQ(cache.st_uid + made.st_uid, 0u);
        EXPECT_EQ(made.st_mode & 07777, 0755u);
        stopAll();
    }
    // Made beforehand by the user: refused, and the log says why.
    fs::create_directories(folder + "/data/users/65532");
    ASSERT_EQ(chown((folder + "/data/users/65532").c_str(), 65532, 65532), 0);
    EXPECT_THAT(start(65532, desktop),
                Ran(1u, testing::errorAnswer("Your user's data folder cannot be used") + "\n", ""));
    EXPECT_TRUE(logs.shows("Refused a configuration of uid 65532: Your user's data folder cannot be used (" + folder +
                           "/data/users/65532 is owned by user 65532)"));
    EXPECT_FALSE(fs::exists(folder + "/data/users/65532/cache.db"));
}

// An ordinary user's configuration of 10,000 listeners is refused; while the
// user holds everything the policy lets it hold, root is answered at once.
TEST_F(ConfigurationPolicy, WhatAUserMayHoldLeavesTheServiceToOthers) {
    boost::json::array many;
    for (int i = 0; i < 10000; ++i) many.push_back({{"type", "mixed"}, {"listen_port", 0}});
    EXPECT_THAT(start(65534, boost::json::serialize(boost::json::object{{"inbounds", many}})),
                Ran(1u,
                    testing::errorAnswer("Configuration holds 10000 listeners (inbounds, endpoints and services); "
                                         "your user may start at most 16 at once") +
                        "\n",
                    ""));
    const std::string two = R"({"inbounds":[{"type":"mixed","listen_port":0},{"type":"mixed","listen_port":0}]})";
    for (int i = 0; i < 16; ++i) EXPECT_THAT(start(65534, two).output, HasSubstr(R"("ok":true)")) << i;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(sendRequest(server->pipeName(), testing::pingRequest(1)).response, testing::pingAnswer(1));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
}

}  // namespace
}  // namespace velmora::vpn
