#include "support/test_platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/text.h"

namespace velmora::vpn::testing {

namespace {

HANDLE inheritableFile(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(fromUtf8(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
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
    result.append(backslashes * 2, L'\\');
    return result + L"\"";
}

}  // namespace

SiblingProcess::SiblingProcess(const std::string& program, const std::vector<std::string>& arguments,
                               bool standardHandles) {
    folder_ = makeTempFolder("run");
    outputPath_ = folder_ + "\\stdout";
    errorsPath_ = folder_ + "\\stderr";
    const std::string path =
        program.find_first_of("\\/") == std::string::npos ? siblingProgram(programFileName(program)) : program;
    std::wstring commandLine = quoted(fromUtf8(path));
    for (const std::string& argument : arguments) commandLine += L" " + quoted(fromUtf8(argument));

    HANDLE input = inheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE output = inheritableFile(outputPath_, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE errors = inheritableFile(errorsPath_, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errors;
    if (!standardHandles) startup.hStdInput = startup.hStdOutput = startup.hStdError = nullptr;
    PROCESS_INFORMATION info{};
    // Without standard handles there is no console either, as for a service.
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, standardHandles,
                                        standardHandles ? 0 : DETACHED_PROCESS, nullptr, nullptr, &startup, &info);
    CloseHandle(input);
    CloseHandle(output);
    CloseHandle(errors);
    if (!started) throw std::runtime_error("cannot start " + path);
    CloseHandle(info.hThread);
    handle_ = reinterpret_cast<std::intptr_t>(info.hProcess);
    id_ = info.dwProcessId;
}

SiblingProcess::~SiblingProcess() {
    kill();
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void SiblingProcess::kill() {
    if (finished_) return;
    TerminateProcess(reinterpret_cast<HANDLE>(handle_), 1);
    WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), INFINITE);
    finished_ = true;
}

void SiblingProcess::interrupt() {
    // Console interrupts cannot be aimed at one process from here; the
    // console stop is exercised under Wine by the interrupt script instead.
    TerminateProcess(reinterpret_cast<HANDLE>(handle_), 0xC000013A);
}

ProgramRun SiblingProcess::wait(std::chrono::milliseconds limit) {
    ProgramRun run;
    HANDLE process = reinterpret_cast<HANDLE>(handle_);
    if (WaitForSingleObject(process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
        run.exitCode = 0xFFFFFFFFu;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        run.exitCode = code;
    }
    finished_ = true;
    run.output = readFile(outputPath_);
    run.errors = readFile(errorsPath_);
    return run;
}

std::uint32_t observedExitCode(std::uint32_t code) { return code; }

void setEnvironment(const std::string& name, const std::string& value) {
    // Both the C runtime's copy (getenv) and the process's (what children inherit).
    _putenv((name + "=" + value).c_str());
    SetEnvironmentVariableW(fromUtf8(name).c_str(), value.empty() ? nullptr : fromUtf8(value).c_str());
}

std::string programFileName(const std::string& name) { return name + ".exe"; }

namespace {
void startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}
}  // namespace

bool claimPortLock(std::uint16_t port) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "velmora-test-ports";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::wstring path = (folder / (std::to_string(port) + ".lock")).wstring();
    // Opened without sharing: a second program's open fails until this one exits.
    const HANDLE lock = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return lock != INVALID_HANDLE_VALUE;  // the handle stays open until this program exits
}

bool tcpPortBindable(std::uint16_t port) {
    startWinsock();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback(port);
    const bool bound = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    closesocket(s);
    return bound;
}

bool tcpPortAccepts(std::uint16_t port) {
    startWinsock();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback(port);
    const bool accepted = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
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
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++counts.threads;
    }
    CloseHandle(snapshot);
    return counts;
}

}  // namespace velmora::vpn::testing
