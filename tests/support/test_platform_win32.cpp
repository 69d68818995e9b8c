#include "support/test_platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdexcept>

namespace velmora::vpn::testing {

ChildProcess::ChildProcess(int lifetimeMs) {
    const std::string program = siblingProgram("test_child.exe");
    std::string commandLine = "\"" + program + "\"" + (lifetimeMs >= 0 ? " " + std::to_string(lifetimeMs) : "");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        throw std::runtime_error("cannot start " + program);
    }
    CloseHandle(info.hThread);
    handle_ = reinterpret_cast<std::intptr_t>(info.hProcess);
    id_ = info.dwProcessId;
}

ChildProcess::~ChildProcess() { kill(); }

void ChildProcess::kill() {
    if (reaped_) return;
    TerminateProcess(reinterpret_cast<HANDLE>(handle_), 1);
    wait();
}

void ChildProcess::wait() {
    if (reaped_) return;
    WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), INFINITE);
    // Closing the last handle lets the process id go, as a real owner's would.
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    reaped_ = true;
}

std::string siblingProgram(const std::string& name) {
    char path[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string self(path, length);
    return self.substr(0, self.find_last_of("\\/") + 1) + name;
}

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

std::uint16_t freeTcpPort() {
    startWinsock();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback(0);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    closesocket(s);
    return ntohs(address.sin_port);
}

bool tcpPortAccepts(std::uint16_t port) {
    startWinsock();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback(port);
    const bool accepted = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    closesocket(s);
    return accepted;
}

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

}  // namespace velmora::vpn::testing
