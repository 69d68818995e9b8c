#include "support/prelude.h"

#include "app/service_options.h"

namespace velmora::vpn {
namespace {

using Arguments = std::vector<std::wstring>;

ServiceOptions parse(Arguments arguments) {
    arguments.insert(arguments.begin(), L"C:\\Program Files\\Velmora\\VelmoraVpnService.exe");
    return parseServiceOptions(arguments);
}

bool isDefault(const ServiceOptions& o) {
    return !o.console && !o.service && !o.help && !o.installService && !o.uninstallService && !o.startAfterInstall &&
           o.startupMode == L"delayed-auto" && o.pipeName == L"\\\\.\\pipe\\VelmoraVpnService" && !o.logFile;
}

TEST(ServiceOptions, UnknownWordsAndValueOptionsWithoutAValueChangeNothing) {
    EXPECT_TRUE(isDefault(parseServiceOptions({})));
    EXPECT_TRUE(isDefault(parseServiceOptions({L"--console"})));  // the program path is never looked at
    for (const Arguments& arguments :
         {Arguments{L"--HELP", L"/console", L"-c", L"--starts", L"--startupx", L"--", L"stray", L"--Console"},
          Arguments{L"--log-file"}, Arguments{L"--startup"}, Arguments{L"--pipe-name"}}) {
        EXPECT_TRUE(isDefault(parse(arguments)));
    }
}

TEST(ServiceOptions, FlagsAreExactAndCountOnce) {
    const ServiceOptions options =
        parse({L"--console", L"--service", L"--install-service", L"--uninstall-service", L"--start", L"--console"});
    EXPECT_TRUE(options.console && options.service && options.installService && options.uninstallService &&
                options.startAfterInstall);
    EXPECT_FALSE(options.help);
    EXPECT_TRUE(parse({L"-h"}).help);
    EXPECT_TRUE(parse({L"--help"}).help);
}

// Each row: the arguments, then the log file, startup mode and pipe name they give.
TEST(ServiceOptions, ValuesAreTakenVerbatimFromTheNextEntryOrAfterTheEqualsSignAndTheLastWins) {
    struct Row {
        Arguments arguments;
        std::optional<std::wstring> logFile;
        std::wstring startup;
        std::wstring pipe;
    };
    const std::wstring pipe = L"\\\\.\\pipe\\VelmoraVpnService";
    const Row rows[] = {
        {{L"--pipe-name", L"\\\\.\\pipe\\O", L"--log-file", L"D:\\a b\\x.log", L"--startup", L"demand"},
         L"D:\\a b\\x.log",
         L"demand",
         L"\\\\.\\pipe\\O"},
        {{L"--pipe-name=\\\\.\\pipe\\O", L"--log-file=D:\\x.log", L"--startup=auto"},
         L"D:\\x.log",
         L"auto",
         L"\\\\.\\pipe\\O"},
        {{L"--log-file=", L"--startup=", L"--pipe-name="}, L"", L"", L""},  // empty values are values
        {{L"--startup", L"--start"}, std::nullopt, L"--start", pipe},       // the next entry, whatever it is
        {{L"--log-file=a", L"--log-file", L"b", L"--pipe-name", L"x", L"--pipe-name=y"}, L"b", L"delayed-auto", L"y"},
        {{L"--log-file=a", L"--log-file"}, L"a", L"delayed-auto", pipe},
    };
    for (const Row& row : rows) {
        const ServiceOptions options = parse(row.arguments);
        EXPECT_EQ(options.logFile, row.logFile);
        EXPECT_EQ(options.startupMode, row.startup);
        EXPECT_EQ(options.pipeName, row.pipe);
        EXPECT_FALSE(options.startAfterInstall);
    }
}

}  // namespace
}  // namespace velmora::vpn
