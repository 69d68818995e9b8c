// The whole life of the service under a real Service Control Manager (Wine's
// in the Windows build): install, start, talk to it, stop, remove.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "pipe_client.h"
#include "platform/text.h"
#include "platform/win32/handles.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/text_lines.h"
#include "support/wait_until.h"

namespace velmora::vpn {
namespace {

namespace fs = std::filesystem;
using platform::ServiceHandle;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::linesOf;
using testing::ProgramRun;
using ::testing::StartsWith;

const std::string kService = "VelmoraVpnService";
const std::string kPing = R"({"command":"ping"})";

// What the Service Control Manager holds for the service.
struct Registration {
    DWORD startType = 0;
    std::wstring binaryPath;
    std::wstring displayName;
    std::wstring description;
};

std::optional<Registration> registration() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(OpenServiceW(manager.get(), L"VelmoraVpnService", SERVICE_QUERY_CONFIG));
    if (!service) return std::nullopt;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed)) {
        return std::nullopt;
    }
    const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    Registration result{config->dwStartType, config->lpBinaryPathName, config->lpDisplayName, {}};
    std::vector<BYTE> descriptionBuffer(8192);
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, descriptionBuffer.data(),
                             static_cast<DWORD>(descriptionBuffer.size()), &needed)) {
        const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(descriptionBuffer.data());
        if (description->lpDescription != nullptr) result.description = description->lpDescription;
    }
    return result;
}

std::optional<SERVICE_STATUS_PROCESS> status() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(OpenServiceW(manager.get(), L"VelmoraVpnService", SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS current{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&current),
                                          sizeof current, &needed)) {
        return std::nullopt;
    }
    return current;
}

bool stateIs(DWORD state) {
    const auto current = status();
    return current && current->dwCurrentState == state;
}

class ServiceManager : public ::testing::Test {
protected:
    std::string pipe = toUtf8(testing::uniquePipeName());
    std::string folder = testing::makeTempFolder("scm");

    // Every test starts and ends with no service of our name, even after a failure.
    void SetUp() override { testing::runSibling(kService, {"--uninstall-service"}); }
    void TearDown() override {
        testing::runSibling(kService, {"--uninstall-service"});
        fs::remove_all(folder);
    }

    bool pings() {
        const auto exchange = velmora::client::sendRequest(fromUtf8(pipe), kPing, std::chrono::milliseconds(200));
        return exchange.delivered;
    }
    std::string quotedProgram(const std::string& path) { return "\"" + path + "\""; }
};

TEST_F(ServiceManager, EachStartupModeIsRegisteredWithTheServiceDetails) {
    const std::string program = testing::siblingProgram(testing::programFileName(kService));
    const std::pair<std::string, DWORD> modes[] = {
        {"delayed-auto", SERVICE_AUTO_START}, {"auto", SERVICE_AUTO_START},   {"demand", SERVICE_DEMAND_START},
        {"manual", SERVICE_DEMAND_START},     {"disabled", SERVICE_DISABLED}, {"Auto", SERVICE_AUTO_START},
    };
    for (const auto& [mode, startType] : modes) {
        // Each install replaces the registration the previous one made.
        const ProgramRun run = testing::runSibling(kService, {"--install-service", "--startup", mode});
        EXPECT_EQ(run.exitCode, 0u) << run.errors;
        EXPECT_EQ(run.errors, "");
        EXPECT_THAT(linesOf(run.output),
                    ElementsAre("Installed VelmoraVpnService", "Binary path: " + quotedProgram(program) + " --service",
                                "Startup: " + mode));
        const auto registered = registration();
        ASSERT_TRUE(registered.has_value()) << mode;
        EXPECT_EQ(registered->startType, startType) << mode;
        EXPECT_EQ(toUtf8(registered->binaryPath), quotedProgram(program) + " --service");
        EXPECT_EQ(registered->displayName, L"Velmora VPN Service");
        EXPECT_EQ(registered->description, L"Runs privileged sing-box VPN operations for VelmoraLine.");
    }
    // Quotes inside a value are escaped in the registered command line.
    ASSERT_EQ(testing::runSibling(kService, {"--install-service", "--pipe-name", "a\"b c"}).exitCode, 0u);
    EXPECT_EQ(toUtf8(registration()->binaryPath), quotedProgram(program) + " --service --pipe-name \"a\\\"b c\"");
}

TEST_F(ServiceManager, AStartedServiceServesAndReportsItsStop) {
    const std::string log = (fs::path(folder) / "service log.txt").string();
    const ProgramRun installed = testing::runSibling(
        kService, {"--install-service", "--startup", "demand", "--start", "--log-file", log, "--pipe-name", pipe});
    ASSERT_EQ(installed.exitCode, 0u) << installed.errors;
    EXPECT_EQ(linesOf(installed.output).back(), "Started VelmoraVpnService");
    EXPECT_THAT(toUtf8(registration()->binaryPath),
                HasSubstr(" --service --log-file \"" + log + "\" --pipe-name \"" + pipe + "\""));

    ASSERT_TRUE(testing::waitUntil([&] { return pings(); }, std::chrono::milliseconds(15000)));
    EXPECT_TRUE(stateIs(SERVICE_RUNNING));
    const std::uint16_t port = testing::freeTcpPort();
    const std::string start = R"({"command":"start","payload":{"config":"{\"inbounds\":[{\"listen_port\":)" +
                              std::to_string(port) + R"(}]}"}})";
    const auto started = velmora::client::sendRequest(fromUtf8(pipe), start);
    EXPECT_EQ(started.response.rfind(R"({"version":1,"ok":true,"payload":{"instanceId":)", 0), 0u) << started.response;
    EXPECT_TRUE(testing::tcpPortAccepts(port));

    {
        ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ServiceHandle service(OpenServiceW(manager.get(), L"VelmoraVpnService", SERVICE_STOP));
        SERVICE_STATUS ignored{};
        ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored));
    }
    ASSERT_TRUE(testing::waitUntil([] { return stateIs(SERVICE_STOPPED); }, std::chrono::milliseconds(15000)));
    EXPECT_EQ(status()->dwWin32ExitCode, 0u);
    EXPECT_FALSE(testing::tcpPortAccepts(port));  // the runtime stopped every instance
    const auto lines = linesOf(testing::readFile(log));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().substr(20), "Velmora VPN service runtime starting");
    EXPECT_EQ(lines.back().substr(20), "Velmora VPN service runtime stopped");
}

TEST_F(ServiceManager, InstallingOverARunningServiceReplacesItAndUninstallingRemovesIt) {
    ASSERT_EQ(testing::runSibling(kService, {"--install-service", "--start", "--pipe-name", pipe}).exitCode, 0u);
    ASSERT_TRUE(testing::waitUntil([&] { return pings(); }, std::chrono::milliseconds(15000)));

    const std::string newPipe = pipe + "-new";
    const ProgramRun replaced =
        testing::runSibling(kService, {"--install-service", "--startup", "auto", "--start", "--pipe-name", newPipe});
    EXPECT_EQ(replaced.exitCode, 0u) << replaced.errors;
    EXPECT_EQ(replaced.errors, "");
    EXPECT_EQ(registration()->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_FALSE(pings());  // the old service is gone
    EXPECT_TRUE(testing::waitUntil(
        [&] {
            return velmora::client::sendRequest(fromUtf8(newPipe), kPing, std::chrono::milliseconds(200)).delivered;
        },
        std::chrono::milliseconds(15000)));

    // Uninstalling stops and removes it; a second time there is nothing to remove.
    const ProgramRun first = testing::runSibling(kService, {"--uninstall-service", "--console"});
    EXPECT_EQ(first.exitCode, 0u) << first.errors;
    EXPECT_EQ(linesOf(first.output), std::vector<std::string>{"Uninstalled VelmoraVpnService"});
    EXPECT_EQ(first.errors, "");
    EXPECT_FALSE(registration().has_value());
    EXPECT_FALSE(velmora::client::sendRequest(fromUtf8(newPipe), kPing, std::chrono::milliseconds(200)).delivered);
    const ProgramRun second = testing::runSibling(kService, {"--uninstall-service"});
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_EQ(linesOf(second.output), std::vector<std::string>{"VelmoraVpnService is not installed"});
}

// Every line of the installer's output arrives whole, whatever characters
// the paths, pipe name and startup word hold.
TEST_F(ServiceManager, InstallOutputCarriesAnyTextWhole) {
    const std::string program = testing::siblingProgram(testing::programFileName(kService));
    const std::string log = folder + "\\журнал 日志.log";
    const std::string otherPipe = pipe + "-Велмора-管道";
    const ProgramRun installed = testing::runSibling(
        kService, {"--install-service", "--startup", "Ручной", "--start", "--log-file", log, "--pipe-name", otherPipe});
    EXPECT_EQ(installed.exitCode, 0u) << installed.errors;
    EXPECT_THAT(linesOf(installed.output),
                ElementsAre("Installed VelmoraVpnService",
                            "Binary path: " + quotedProgram(program) + " --service --log-file \"" + log +
                                "\" --pipe-name \"" + otherPipe + "\"",
                            "Startup: Ручной", "Started VelmoraVpnService"));
    EXPECT_EQ(linesOf(testing::runSibling(kService, {"--uninstall-service"}).output),
              std::vector<std::string>{"Uninstalled VelmoraVpnService"});
}

TEST_F(ServiceManager, AServiceWithoutItsEngineStopsWith1066) {
    const fs::path copy = fs::path(folder) / testing::programFileName(kService);
    fs::copy_file(testing::siblingProgram(testing::programFileName(kService)), copy);
    const ProgramRun installed = testing::runSibling(
        copy.string(), {"--install-service", "--startup", "demand", "--start", "--pipe-name", pipe});
    ASSERT_EQ(installed.exitCode, 0u) << installed.errors;

    ASSERT_TRUE(testing::waitUntil([] { return stateIs(SERVICE_STOPPED); }, std::chrono::milliseconds(15000)));
    EXPECT_EQ(status()->dwWin32ExitCode, 1066u);
    EXPECT_EQ(status()->dwServiceSpecificExitCode, 0u);
}

TEST_F(ServiceManager, StartedByHandWithServiceTheDispatcherFailureIsReported) {
    const ProgramRun run = testing::runSibling(kService, {"--service", "--pipe-name", pipe});
    EXPECT_EQ(run.exitCode, 1063u);
    EXPECT_THAT(run.errors, StartsWith("Failed to start service dispatcher: 1063"));
    EXPECT_EQ(run.output, "");
}

TEST_F(ServiceManager, StartedByHandWithoutArgumentsItRunsInTheConsole) {
    testing::SiblingProcess service(kService, {"--pipe-name", pipe});
    ASSERT_TRUE(testing::waitUntil([&] { return pings(); }, std::chrono::milliseconds(15000)));
    const ProgramRun run = service.wait(std::chrono::milliseconds(0));
    EXPECT_THAT(run.errors, HasSubstr("Velmora VPN service runtime starting"));
    EXPECT_THAT(run.errors, ::testing::Not(HasSubstr("dispatcher")));
}

}  // namespace
}  // namespace velmora::vpn
