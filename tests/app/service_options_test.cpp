#include <gtest/gtest.h>

#include <sstream>

#include "app/service_options.h"

namespace velmora::vpn {
namespace {

ServiceOptions parse(std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"C:\\Program Files\\Velmora\\VelmoraVpnService.exe");
    return parseServiceOptions(arguments);
}

void expectDefaults(const ServiceOptions& options) {
    EXPECT_FALSE(options.console || options.service || options.help || options.installService ||
                 options.uninstallService || options.startAfterInstall);
    EXPECT_EQ(options.startupMode, L"delayed-auto");
    EXPECT_EQ(options.pipeName, L"\\\\.\\pipe\\VelmoraVpnService");
    EXPECT_FALSE(options.logFile.has_value());
}

TEST(ServiceOptions, NoArgumentsAndUnknownOnesKeepTheDefaults) {
    expectDefaults(parseServiceOptions({}));
    expectDefaults(parseServiceOptions({L"--console"}));  // the program path is never looked at
    expectDefaults(parse({}));
    expectDefaults(parse({L"--HELP", L"/console", L"-c", L"--starts", L"--startupx", L"--", L"stray", L"--Console"}));
}

TEST(ServiceOptions, FlagsAreExactAndCountOnce) {
    const ServiceOptions options =
        parse({L"--console", L"--service", L"--install-service", L"--uninstall-service", L"--start", L"--console"});
    EXPECT_TRUE(options.console);
    EXPECT_TRUE(options.service);
    EXPECT_TRUE(options.installService);
    EXPECT_TRUE(options.uninstallService);
    EXPECT_TRUE(options.startAfterInstall);
    EXPECT_FALSE(options.help);
    EXPECT_TRUE(parse({L"-h"}).help);
    EXPECT_TRUE(parse({L"--help"}).help);
}

TEST(ServiceOptions, ValuesComeFromTheNextEntryOrAfterTheEqualsSign) {
    const ServiceOptions separate =
        parse({L"--pipe-name", L"\\\\.\\pipe\\Other", L"--log-file", L"D:\\a b\\x.log", L"--startup", L"demand"});
    EXPECT_EQ(separate.pipeName, L"\\\\.\\pipe\\Other");
    EXPECT_EQ(separate.logFile, L"D:\\a b\\x.log");
    EXPECT_EQ(separate.startupMode, L"demand");

    const ServiceOptions joined =
        parse({L"--pipe-name=\\\\.\\pipe\\Other", L"--log-file=D:\\x.log", L"--startup=auto"});
    EXPECT_EQ(joined.pipeName, L"\\\\.\\pipe\\Other");
    EXPECT_EQ(joined.logFile, L"D:\\x.log");
    EXPECT_EQ(joined.startupMode, L"auto");

    // Empty values after the equals sign are values too.
    EXPECT_EQ(parse({L"--log-file="}).logFile, L"");
    EXPECT_EQ(parse({L"--startup="}).startupMode, L"");
    EXPECT_EQ(parse({L"--pipe-name="}).pipeName, L"");
}

TEST(ServiceOptions, AValueIsTakenVerbatimAndTheLastOneWins) {
    const ServiceOptions swallowed = parse({L"--startup", L"--start"});
    EXPECT_EQ(swallowed.startupMode, L"--start");
    EXPECT_FALSE(swallowed.startAfterInstall);

    const ServiceOptions twice = parse({L"--log-file=a", L"--log-file", L"b", L"--pipe-name", L"x", L"--pipe-name=y"});
    EXPECT_EQ(twice.logFile, L"b");
    EXPECT_EQ(twice.pipeName, L"y");
}

TEST(ServiceOptions, AValueOptionWithoutAValueIsIgnored) {
    expectDefaults(parse({L"--log-file"}));
    expectDefaults(parse({L"--startup"}));
    expectDefaults(parse({L"--pipe-name"}));
    EXPECT_EQ(parse({L"--log-file=a", L"--log-file"}).logFile, L"a");
}

TEST(ServiceOptions, UsageTextMatchesByteForByte) {
    const std::string expected =
        "VelmoraVpnService\n\nUsage:\n"
        "  VelmoraVpnService.exe --console [--log-file <path>] [--pipe-name <name>]\n"
        "  VelmoraVpnService.exe --service [--log-file <path>] [--pipe-name <name>]\n"
        "  VelmoraVpnService.exe --install-service [--startup <mode>] [--start] [--log-file <path>] [--pipe-name "
        "<name>]\n"
        "  VelmoraVpnService.exe --uninstall-service\n\nOptions:\n"
        "  --console             Run as a foreground debug process.\n"
        "  --service             Run under Windows Service Control Manager.\n"
        "  --install-service     Register this executable as a Windows service.\n"
        "  --uninstall-service   Stop and remove the Windows service.\n"
        "  --startup <mode>      Service startup: delayed-auto, auto, demand, disabled.\n"
        "  --start               Start the service after installing it.\n"
        "  --log-file <path>     Append service logs to this file.\n"
        "  --pipe-name <name>    Override named pipe path.\n\nExamples:\n"
        "  VelmoraVpnService.exe --console --log-file D:\\Work\\Dunmere\\velmora-vpn-service.log\n"
        "  VelmoraVpnService.exe --install-service --startup demand --start --log-file "
        "D:\\Work\\Dunmere\\velmora-vpn-service.log\n"
        "  VelmoraVpnService.exe --uninstall-service\n";
    EXPECT_EQ(usageText(), expected);
    // Every option description starts in column 25.
    std::istringstream lines(usageText());
    std::string line;
    int optionLines = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("  --", 0) == 0 && line.find("VelmoraVpnService") == std::string::npos) {
            EXPECT_EQ(line.find_first_not_of(' ', line.find("  ", 2)), 24u) << line;
            ++optionLines;
        }
    }
    EXPECT_EQ(optionLines, 8);
}

}  // namespace
}  // namespace velmora::vpn
