#pragma once

#include <windows.h>

namespace velmora::vpn::platform {

// Who may use the pipe. A protected DACL (nothing inherited) with three entries:
//   (A;;GA;;;SY)   Local System: full control
//   (A;;GA;;;BA)   built-in Administrators: full control
//   (A;;GRGW;;;IU) interactive users: read and write, so the desktop client can talk to us
inline constexpr wchar_t kPipeSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";

// How each pipe instance is created: a byte stream in both directions,
// polled without blocking, and closed to clients on other machines. Windows
// reports none of these flags back on a client's handle, so the Windows tests
// read them here.
inline constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX;
inline constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT | PIPE_REJECT_REMOTE_CLIENTS;
inline constexpr DWORD kBufferSize = 65536;

}  // namespace velmora::vpn::platform
