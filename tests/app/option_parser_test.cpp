#include "support/prelude.h"

#include "app/option_parser.h"

namespace velmora::vpn {
namespace {

using Arguments = std::vector<std::wstring>;

// The options in one line: the flags set, then the log file ("-" for none),
// the startup mode and the pipe name.
std::wstring summary(const ServiceOptions& o) {
    std::wstring flags;
    for (const auto& [set, letter] : {std::pair{o.console, L'c'}, std::pair{o.service, L's'}, std::pair{o.help, L'h'},
                                      std::pair{o.installService, L'i'}, std::pair{o.uninstallService, L'u'},
                                      std::pair{o.startAfterInstall, L'S'}}) {
        if (set) flags += letter;
    }
    return flags + L"|" + o.logFile.value_or(L"-") + L"|" + o.startupMode + L"|" + o.pipeName;
}

// Flags are exact and count once; values come from the next entry, whatever
// it is, or after the equals sign, verbatim; the last wins; unknown words and
// a value option without a value change nothing.
TEST(ServiceOptions, EachArgumentListGivesItsOptions) {
    const std::wstring pipe = L"\\\\.\\pipe\\VelmoraVpnService";
    const std::wstring defaults = L"|-|delayed-auto|" + pipe;
    const std::pair<Arguments, std::wstring> rows[] = {
        {{}, defaults},
        {{L"--HELP", L"/console", L"-c", L"--starts", L"--startupx", L"--", L"stray", L"--Console"}, defaults},
        {{L"--log-file"}, defaults},
        {{L"--startup"}, defaults},
        {{L"--pipe-name"}, defaults},
        {{L"--console", L"--service", L"--install-service", L"--uninstall-service", L"--start", L"--console"},
         L"csiuS" + defaults},
        {{L"-h"}, L"h" + defaults},
        {{L"--help"}, L"h" + defaults},
        {{L"--pipe-name", L"\\\\.\\pipe\\O", L"--log-file", L"D:\\a b\\x.log", L"--startup", L"demand"},
         L"|D:\\a b\\x.log|demand|\\\\.\\pipe\\O"},
        {{L"--pipe-name=\\\\.\\pipe\\O", L"--log-file=D:\\x.log", L"--startup=auto"},
         L"|D:\\x.log|auto|\\\\.\\pipe\\O"},
        {{L"--log-file=", L"--startup=", L"--pipe-name="}, L"|||"},
        {{L"--startup", L"--start"}, L"|-|--start|" + pipe},
        {{L"--log-file=a", L"--log-file", L"b", L"--pipe-name", L"x", L"--pipe-name=y"}, L"|b|delayed-auto|y"},
        {{L"--log-file=a", L"--log-file"}, L"|a|delayed-auto|" + pipe},
    };
    for (const auto& [arguments, expected] : rows) {
        Arguments withProgram{L"C:\\Program Files\\Velmora\\VelmoraVpnService.exe"};
        withProgram.insert(withProgram.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(summary(parseServiceOptions(withProgram)), expected);
    }
    EXPECT_EQ(summary(parseServiceOptions({L"--console"})), defaults);  // the program path is never looked at
    EXPECT_EQ(summary(parseServiceOptions({})), defaults);
}

}  // namespace
}  // namespace velmora::vpn
