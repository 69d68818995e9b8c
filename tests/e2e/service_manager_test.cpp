// The whole life of the service under a real Service Control Manager (Wine's
// in the Windows build): install, start, talk to it, stop, remove.
#include "support/prelude.h"

#include <windows.h>
#include <winsvc.h>
#include <aclapi.h>
#include <sddl.h>

#include "install/service_installer.h"
#include "platform/unique_handle.h"
#include "platform/pipe_endpoint.h"

namespace velmora::vpn {
namespace {

using platform::ServiceHandle;

const std::string kService = "VelmoraVpnService";
const std::string kProgram = "\"" + testing::siblingProgram(testing::programFileName(kService)) + "\"";

ServiceHandle openService(DWORD access) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return ServiceHandle(OpenServiceW(manager.get(), L"VelmoraVpnService", access));
}

// What the Service Control Manager holds for the service.
struct Registration {
    DWORD startType = 0;
    std::string binaryPath, displayName, description;
};

// The Application log's source entry: the message file it names, if there is one.
std::optional<std::string> eventMessageFile() {
    wchar_t file[1024] = {};
    DWORD size = sizeof file;
    if (RegGetValueW(HKEY_LOCAL_MACHINE,
                     L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\VelmoraVpnService",
                     L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return platform::toUtf8(file);
}

std::optional<Registration> registration() {
    const ServiceHandle service = openService(SERVICE_QUERY_CONFIG);
    alignas(QUERY_SERVICE_CONFIGW) BYTE config[8192];
    alignas(SERVICE_DESCRIPTIONW) BYTE description[8192];
    DWORD needed = 0;
    if (!service ||
        !QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config), sizeof config, &needed) ||
        !QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description, sizeof description, &needed)) {
        return std::nullopt;
    }
    const auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config);
    const wchar_t* text = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description)->lpDescription;
    return Registration{c->dwStartType, platform::toUtf8(c->lpBinaryPathName), platform::toUtf8(c->lpDisplayName),
                        platform::toUtf8(text ? text : L"")};
}

SERVICE_STATUS_PROCESS status() {
    SERVICE_STATUS_PROCESS current{};
    DWORD needed = 0;
    QueryServiceStatusEx(openService(SERVICE_QUERY_STATUS).get(), SC_STATUS_PROCESS_INFO,
                         reinterpret_cast<BYTE*>(&current), sizeof current, &needed);
    return current;
}

bool stopped() { return status().dwCurrentState == SERVICE_STOPPED; }

bool pings(const std::string& pipe) {
    return sendRequest(platform::fromUtf8(pipe), R"({"command":"ping"})", milliseconds(200)).delivered;
}

// The pipe as a client finds it: only Local System and administrators in
// full and interactive users for reading and writing, nothing inherited (as
// Wine keeps it, or with generic rights mapped to a pipe's as Windows does);
// and, where it is made since no call reports it back, a byte stream closed
// to other machines.
TEST(ServicePipe, IsForTheSystemAdministratorsAndInteractiveUsersOnly) {
    testing::FakeBackend backend;
    testing::RunningServer running(backend, {});
    ClientConnection connection;
    std::string error;
    ASSERT_TRUE(connection.connect(running.pipeName(), milliseconds(5000), error)) << error;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* sddl = nullptr;
    GetSecurityInfo(connection.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                    nullptr, &descriptor);
    const platform::LocalMemory owned(descriptor);
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl,
                                                         nullptr);
    const platform::LocalMemory ownedText(sddl);
    EXPECT_THAT(platform::toUtf8(sddl ? sddl : L""), ::testing::AnyOf("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GWGR;;;IU)",
                                                                      "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;IU)"));
    EXPECT_EQ(platform::pipeInstanceMode(),
              static_cast<DWORD>(PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT | PIPE_REJECT_REMOTE_CLIENTS));
}

class ServiceManager : public ::testing::Test {
protected:
    std::string pipe = platform::toUtf8(testing::uniquePipeName());
    std::string folder = testing::makeTempFolder("scm");

    // Every test starts and ends with no service of our name, even after a failure.
    void SetUp() override { uninstall(); }
    void TearDown() override {
        uninstall();
        fs::remove_all(folder);
    }
    static ProgramRun uninstall() { return testing::runSibling(kService, {"--uninstall-service"}); }
    bool servesSoon(const std::string& name) {
        return testing::waitUntil([&] { return pings(name); }, milliseconds(15000));
    }
};

TEST_F(ServiceManager, EachStartupModeIsRegisteredWithTheServiceDetails) {
    // What each word means is the installer's own table; here, that the
    // registration carries it (automatic starts: the whole life below; a
    // disabled one refuses to start: the system texts below).
    EXPECT_THAT(testing::runSibling(kService, {"--install-service", "--startup", "demand"}), Ran(0u, _, ""));
    ASSERT_TRUE(registration().has_value());
    EXPECT_EQ(registration()->startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(registration()->binaryPath, kProgram + " --service");
    // The recovery actions, where the service manager keeps them (Wine 8
    // refuses the query with 124; the values are pinned where they are made).
    alignas(SERVICE_FAILURE_ACTIONSW) BYTE recovery[1024];
    DWORD needed = 0;
    if (QueryServiceConfig2W(openService(SERVICE_QUERY_CONFIG).get(), SERVICE_CONFIG_FAILURE_ACTIONS, recovery,
                             sizeof recovery, &needed)) {
        const auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(recovery);
        std::vector<DWORD> restartDelays;  // 0 for an action that is no restart
        for (DWORD i = 0; i < actions->cActions; ++i)
            restartDelays.push_back(actions->lpsaActions[i].Type == SC_ACTION_RESTART ? actions->lpsaActions[i].Delay
                                                                                      : 0);
        EXPECT_THAT(restartDelays, ::testing::ElementsAreArray(kRecoveryRestartDelaysMs));
        EXPECT_EQ(actions->dwResetPeriod, kRecoveryResetSeconds);
    }
    SERVICE_PRESHUTDOWN_INFO preshutdown{};  // Wine 8 keeps none either
    if (QueryServiceConfig2W(openService(SERVICE_QUERY_CONFIG).get(), SERVICE_CONFIG_PRESHUTDOWN_INFO,
                             reinterpret_cast<BYTE*>(&preshutdown), sizeof preshutdown, &needed)) {
        EXPECT_EQ(preshutdown.dwPreshutdownTimeout, kPreshutdownTimeoutMs);
    }
    EXPECT_EQ(eventMessageFile(), kProgram.substr(1, kProgram.size() - 2));  // the program, unquoted
    EXPECT_EQ(registration()->displayName, "Velmora VPN Service");
    EXPECT_EQ(registration()->description, "Runs privileged sing-box VPN operations for VelmoraLine.");
    // Quotes inside a value are escaped in the registered command line.
    ASSERT_EQ(testing::runSibling(kService, {"--install-service", "--pipe-name", "a\"b c"}).exitCode, 0u);
    EXPECT_EQ(registration()->binaryPath, kProgram + " --service --pipe-name \"a\\\"b c\"");
}

// A run that ends in a fatal error (here: no engine library beside the
// program) ends the service with that run's exit code.
TEST_F(ServiceManager, AFatalErrorIsTheServicesExitCode) {
    const std::string copy = testing::copyService(folder, false);
    EXPECT_THAT(testing::runSibling(copy, {"--install-service", "--startup", "demand", "--start"}), Ran(0u, _, ""));
    ASSERT_TRUE(testing::waitUntil(stopped, milliseconds(15000)));
    EXPECT_EQ(status().dwWin32ExitCode, 1066u);
}

// The system's own text for an error code, in the system's language, as
// UTF-8: what the service's lines must carry whole.
std::string systemText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const platform::LocalMemory owned(text);
    return platform::toUtf8(std::wstring(text ? text : L"", length));
}

// An installer failure on the console and a failure in the log (and on the
// console of a console run) carry the system's text whole, in any language.
// CI runs it again with a Russian system, whose texts are Cyrillic
// (VELMORA_TRANSLATED_TEXTS set).
TEST_F(ServiceManager, SystemTextsArriveWholeInTheSystemsLanguage) {
    const std::string disabled = systemText(ERROR_SERVICE_DISABLED), invalidName = systemText(ERROR_INVALID_NAME);
    if (std::getenv("VELMORA_TRANSLATED_TEXTS") != nullptr) {
        ASSERT_TRUE(std::any_of(disabled.begin(), disabled.end(), [](char c) { return c & 0x80; })) << disabled;
    }
    EXPECT_THAT(testing::runSibling(kService, {"--install-service", "--startup", "disabled", "--start"}),
                Ran(1058u, HasSubstr("Installed"), HasSubstr("StartService failed: 1058: " + disabled)));

    const std::string log = folder + "/service.log";
    testing::SiblingProcess console(kService, {"--console", "--pipe-name", "not-a-pipe-name", "--log-file", log});
    // The log writes the text's own line break as a line break of its own.
    const std::string line =
        "CreateNamedPipeW failed. Windows error 123: " + invalidName.substr(0, invalidName.find('\r'));
    EXPECT_TRUE(testing::waitUntil([&] { return testing::readFile(log).find(line) != std::string::npos; }));
    console.kill();
    EXPECT_THAT(console.wait().errors, HasSubstr(line));
}

// Installed and started with paths and names in any script, the service
// serves; installed again over itself it is replaced, and the replaced one
// stopped its instances and logged its stop; a stop control ends the new one
// with exit code 0; uninstalling stops and removes it, and a second time
// finds nothing.
TEST_F(ServiceManager, TheWholeLifeOfTheService) {
    const std::string log = folder + "\\журнал 日志.log";
    pipe += "-Велмора-管道";
    const std::string command = kProgram + " --service --log-file \"" + log + "\" --pipe-name \"" + pipe + "\"";
    const ProgramRun installed = testing::runSibling(
        kService, {"--install-service", "--startup", "Ручной", "--start", "--log-file", log, "--pipe-name", pipe});
    EXPECT_THAT(installed, Ran(0u, _, ""));
    EXPECT_THAT(linesOf(installed.output), ElementsAre("Installed VelmoraVpnService", "Binary path: " + command,
                                                       "Startup: Ручной", "Started VelmoraVpnService"));
    EXPECT_EQ(registration()->binaryPath, command);
    ASSERT_TRUE(servesSoon(pipe));
    const std::uint16_t port = testing::freeTcpPort();
    const auto started = sendRequest(platform::fromUtf8(pipe), testing::startRequest("", port));
    EXPECT_GE(testing::startedId(started.response), 0) << started.response;
    EXPECT_TRUE(testing::tcpPortAccepts(port));

    const std::string newPipe = pipe + "-new";
    EXPECT_THAT(
        testing::runSibling(kService, {"--install-service", "--startup", "auto", "--start", "--pipe-name", newPipe}),
        Ran(0u, _, ""));
    EXPECT_EQ(registration()->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_FALSE(pings(pipe));
    EXPECT_FALSE(testing::tcpPortAccepts(port));  // the runtime stopped every instance
    const Lines lines = linesOf(testing::readFile(log));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().substr(20), "Velmora VPN service runtime starting");
    EXPECT_EQ(lines.back().substr(20), "Velmora VPN service runtime stopped");

    ASSERT_TRUE(servesSoon(newPipe));
    EXPECT_EQ(status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    // The client that trusts the installed service only knows it by the
    // process the service manager names, and a console run by that alone.
    const std::vector<std::string> serviceOnlyPing = {"--service-only", "--pipe-name", newPipe, "ping"};
    EXPECT_THAT(testing::runSibling("velmora-vpn-client", serviceOnlyPing), Ran(0u, _, ""));
    EXPECT_EQ(status().dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN));
    // A client that holds its connection without sending keeps the stop
    // waiting; meanwhile the stop-pending reports show progress. (The ping
    // after it is answered once its connection was taken.)
    std::optional<ClientConnection> holder(std::in_place);
    std::string error;
    ASSERT_TRUE(holder->connect(platform::fromUtf8(newPipe), milliseconds(5000), error)) << error;
    ASSERT_TRUE(pings(newPipe));
    SERVICE_STATUS ignored{};
    ASSERT_TRUE(ControlService(openService(SERVICE_STOP).get(), SERVICE_CONTROL_STOP, &ignored));
    std::vector<DWORD> checkpoints;
    EXPECT_TRUE(testing::waitUntil([&] {
        const SERVICE_STATUS_PROCESS now = status();
        if (now.dwCurrentState == SERVICE_STOP_PENDING &&
            (checkpoints.empty() || now.dwCheckPoint != checkpoints.back()))
            checkpoints.push_back(now.dwCheckPoint);
        return checkpoints.size() >= 3;
    }));
    EXPECT_TRUE(std::is_sorted(checkpoints.begin(), checkpoints.end())) << ::testing::PrintToString(checkpoints);
    EXPECT_GE(status().dwWaitHint, 1000u);  // the next report is promised within the hint
    holder.reset();
    ASSERT_TRUE(testing::waitUntil(stopped, milliseconds(15000)));
    EXPECT_EQ(status().dwWin32ExitCode, 0u);

    // An impostor (a console run) serves the name first: the service says so
    // when it starts, and the client that trusts the service alone moves past
    // the impostor's instances to the service's; once the service is gone, it
    // names the impostor when its time is up.
    const std::string taken = folder + "\\taken.log";
    testing::SiblingProcess impostor(kService, {"--console", "--pipe-name", newPipe});
    ASSERT_TRUE(servesSoon(newPipe));
    ASSERT_EQ(
        testing::runSibling(kService, {"--install-service", "--start", "--pipe-name", newPipe, "--log-file", taken})
            .exitCode,
        0u);
    EXPECT_TRUE(testing::waitUntil([&] {
        return testing::readFile(taken).find(
                   "The pipe name was taken by another process already; serving beside it "
                   "(clients that check who serves them move past its instances)\r\n") != std::string::npos;
    }));
    for (int i = 0; i < 5; ++i) EXPECT_THAT(testing::runSibling("velmora-vpn-client", serviceOnlyPing), Ran(0u, _, ""));
    ASSERT_TRUE(ControlService(openService(SERVICE_STOP).get(), SERVICE_CONTROL_STOP, &ignored));
    ASSERT_TRUE(testing::waitUntil(stopped, milliseconds(15000)));
    EXPECT_THAT(testing::runSibling("velmora-vpn-client",
                                    {"--service-only", "--timeout", "500", "--pipe-name", newPipe, "ping"}),
                Ran(2u, "",
                    HasSubstr("served by process " + std::to_string(impostor.id()) +
                              ", which is neither the VelmoraVpnService service nor a process of this user")));
    impostor.kill();

    // Uninstalling a running service stops it as well.
    ASSERT_EQ(testing::runSibling(kService, {"--install-service", "--start", "--pipe-name", newPipe}).exitCode, 0u);
    ASSERT_TRUE(servesSoon(newPipe));
    EXPECT_THAT(testing::runSibling(kService, {"--uninstall-service", "--console"}),
                Ran(0u, ::testing::ResultOf(linesOf, Lines{"Uninstalled VelmoraVpnService"}), ""));
    EXPECT_FALSE(registration().has_value());
    EXPECT_EQ(eventMessageFile(), std::nullopt);
    EXPECT_FALSE(pings(newPipe));
    EXPECT_THAT(uninstall(), Ran(0u, ::testing::ResultOf(linesOf, Lines{"VelmoraVpnService is not installed"}), _));
}

}  // namespace
}  // namespace velmora::vpn
