#include "platform/caller_identity.h"

#include <windows.h>
#include <sddl.h>

#include <cstdlib>
#include <vector>

#include "platform/text.h"
#include "platform/unique_handle.h"

namespace velmora::vpn::platform {
namespace {

std::optional<CallerIdentity> failed(const char* call, std::uint32_t code, SystemError& error) {
    error = {call, code, {}};
    return std::nullopt;
}

// One piece of a token's information, in a buffer of the size it asks for.
bool queryToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<unsigned char>& buffer) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    buffer.resize(size);
    return size != 0 && GetTokenInformation(token, kind, buffer.data(), size, &size);
}

bool isOwnUser(PSID sid) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    const KernelHandle own(raw);
    std::vector<unsigned char> user;
    return queryToken(own.get(), TokenUser, user) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, sid);
}

// Administrators counts only where it is enabled: under User Account Control
// an administrator's unelevated token holds it for deny only.
bool holdsAdministrators(HANDLE token) {
    std::vector<unsigned char> buffer;
    if (!queryToken(token, TokenGroups, buffer)) return false;
    const auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        if (IsWellKnownSid(group.Sid, WinBuiltinAdministratorsSid) && (group.Attributes & SE_GROUP_ENABLED) != 0)
            return true;
    }
    return false;
}

// The groups that count for access: enabled, and not for deny only. A group
// whose SID cannot be written out counts as not held: holding one only ever
// widens what the caller may do.
std::vector<std::string> enabledGroups(HANDLE token) {
    std::vector<std::string> names;
    std::vector<unsigned char> buffer;
    if (!queryToken(token, TokenGroups, buffer)) return names;
    const auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        LPWSTR text = nullptr;
        if ((group.Attributes & SE_GROUP_ENABLED) == 0 || (group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0 ||
            !ConvertSidToStringSidW(group.Sid, &text))
            continue;
        const LocalMemory held(text);
        names.push_back(toUtf8(text));
    }
    return names;
}

std::optional<CallerIdentity> identityOf(HANDLE token, SystemError& error) {
    std::vector<unsigned char> buffer;
    if (!queryToken(token, TokenUser, buffer)) return failed("GetTokenInformation", GetLastError(), error);
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return failed("ConvertSidToStringSidW", GetLastError(), error);
    const LocalMemory held(text);
    const bool privileged = IsWellKnownSid(sid, WinLocalSystemSid) || isOwnUser(sid) || holdsAdministrators(token);
    return CallerIdentity{toUtf8(text), privileged, enabledGroups(token)};
}

}  // namespace

// The service runs as LocalSystem, which may open any process for its token.
std::optional<CallerIdentity> connectingCaller(NativeHandle connection, SystemError& error) {
    ULONG processId = 0;
    if (!GetNamedPipeClientProcessId(connection, &processId))
        return failed("GetNamedPipeClientProcessId", GetLastError(), error);
    const KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return failed("OpenProcess", GetLastError(), error);
    HANDLE token = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &token)) return failed("OpenProcessToken", GetLastError(), error);
    return identityOf(KernelHandle(token).get(), error);
}

// The token the pipe recorded with the last message read: it belongs to the
// connection, not to a process id that could be reused. The thread takes it
// on only for as long as it takes to open it.
std::optional<CallerIdentity> requestingCaller(NativeHandle connection, const CallerIdentity&, SystemError& error) {
    if (!ImpersonateNamedPipeClient(connection)) return failed("ImpersonateNamedPipeClient", GetLastError(), error);
    HANDLE raw = nullptr;
    const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw);
    const DWORD openError = GetLastError();
    // A service thread that went on in its client's context would act with
    // the client's rights, or worse, with no check at all: never go on.
    if (!RevertToSelf()) std::abort();
    const KernelHandle token(opened ? raw : nullptr);
    if (!opened) return failed("OpenThreadToken", openError, error);
    return identityOf(token.get(), error);
}

}  // namespace velmora::vpn::platform
