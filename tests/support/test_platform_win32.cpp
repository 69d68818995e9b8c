#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/text.h"
#include "platform/win32/handles.h"
#include "support/test_platform.h"

namespace velmora::vpn::testing {
namespace {

platform::FileHandle inheritableFile(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return platform::FileHandle(CreateFileW(fromUtf8(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// One argument as CommandLineToArgvW will split it back: quotes escaped, and
// backslashes doubled where they come before a quote.
std::wstring quoted(const std::wstring& argument) {
    std::wstring result = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        result.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    return result.append(backslashes * 2, L'\\') + L"\"";
}

HANDLE process(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

SiblingProcess::SiblingProcess(const std::string& program, const std::vector<std::string>& arguments,
                               bool standardHandles)
    : folder_(makeTempFolder("run")) {
    const std::string path =
        program.find_first_of("\\/") == std::string::npos ? siblingProgram(programFileName(program)) : program;
    std::wstring commandLine = quoted(fromUtf8(path));
    for (const std::string& argument : arguments) commandLine += L" " + quoted(fromUtf8(argument));
    const auto input = inheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
    const auto output = inheritableFile(folder_ + "/stdout", GENERIC_WRITE, CREATE_ALWAYS);
    const auto errors = inheritableFile(folder_ + "/stderr", GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (standardHandles) {
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = errors.get();
    }
    PROCESS_INFORMATION info{};
    // Without standard handles there is no console either, as for a service.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, standardHandles,
                        standardHandles ? 0 : DETACHED_PROCESS, nullptr, nullptr, &startup, &info)) {
        throw std::runtime_error("cannot start " + path);
    }
    CloseHandle(info.hThread);
    handle_ = reinterpret_cast<std::intptr_t>(info.hProcess);
    id_ = info.dwProcessId;
}

SiblingProcess::~SiblingProcess() {
    kill();
    CloseHandle(process(handle_));
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void SiblingProcess::kill() {
    if (finished_) return;
    TerminateProcess(process(handle_), 1);
    WaitForSingleObject(process(handle_), INFINITE);
    finished_ = true;
}

// Console interrupts cannot be aimed at one process from here; the console
// stop is exercised under Wine by the interrupt script instead.
void SiblingProcess::interrupt() { TerminateProcess(process(handle_), 0xC000013A); }

ProgramRun SiblingProcess::wait(std::chrono::milliseconds limit) {
    const bool ended = WaitForSingleObject(process(handle_), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
    kill();  // one that did not end in time
    DWORD code = 0xFFFFFFFFu;
    if (ended) GetExitCodeProcess(process(handle_), &code);
    return ProgramRun{code, readFile(folder_ + "/stdout"), readFile(folder_ + "/stderr")};
}

std::uint32_t observedExitCode(std::uint32_t code) { return code; }

std::string programFileName(const std::string& name) { return name + ".exe"; }

void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    // Both the C runtime's copy (getenv) and the process's (what children inherit).
    _putenv((name + "=" + value.value_or("")).c_str());
    SetEnvironmentVariableW(fromUtf8(name).c_str(), value ? fromUtf8(*value).c_str() : nullptr);
}

bool claimPortLock(std::uint16_t port) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "velmora-test-ports";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    // Opened without sharing: a second program's open fails until this one exits.
    const std::wstring path = (folder / (std::to_string(port) + ".lock")).wstring();
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr) != INVALID_HANDLE_VALUE;  // the handle stays open until this program exits
}

bool tcpPortAccepts(std::uint16_t port) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted = started && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    closesocket(s);
    return accepted;
}

ResourceCounts processResources() {
    ResourceCounts counts;
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    counts.handles = handles;
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    counts.residentBytes = memory.WorkingSetSize;
    const platform::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        counts.threads += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    return counts;
}

}  // namespace velmora::vpn::testing
