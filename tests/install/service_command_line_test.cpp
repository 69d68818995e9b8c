#include "support/prelude.h"

#include "install/service_installer.h"
#include "platform/executable_path.h"

namespace velmora::vpn {
namespace {

TEST(ServiceCommandLine, QuotingEscapesOnlyDoubleQuotes) {
    EXPECT_EQ(quoteArgument(L"C:\\a b\\x.log"), L"\"C:\\a b\\x.log\"");
    EXPECT_EQ(quoteArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(quoteArgument(L"D:\\logs\\"), L"\"D:\\logs\\\"");  // the trailing backslash is kept as is
    EXPECT_EQ(quoteArgument(L""), L"\"\"");
}

// Only the service's own options, and only those that differ from the
// defaults, after the quoted path of this very program.
TEST(ServiceCommandLine, HoldsOnlyWhatDiffersFromTheDefaults) {
    const std::wstring exe = quoteArgument(platform::executablePath().value_or(L""));
    EXPECT_NE(exe.find(L"app_tests"), std::wstring::npos);
    ServiceOptions options;
    options.startupMode = L"demand";
    options.startAfterInstall = true;
    options.console = true;
    EXPECT_EQ(buildServiceCommandLine(options), exe + L" --service");
    options.logFile = L"C:\\Program Data\\v.log";
    EXPECT_EQ(buildServiceCommandLine(options), exe + L" --service --log-file \"C:\\Program Data\\v.log\"");
    options.logFile.reset();
    options.pipeName = L"\\\\.\\pipe\\velmoravpnservice";  // differs in case only
    EXPECT_EQ(buildServiceCommandLine(options), exe + L" --service --pipe-name \"\\\\.\\pipe\\velmoravpnservice\"");
    options.logFile = L"";
    options.pipeName = L"";
    EXPECT_EQ(buildServiceCommandLine(options), exe + L" --service --log-file \"\" --pipe-name \"\"");
}

}  // namespace
}  // namespace velmora::vpn
