#pragma once

#include <cstdint>
#include <string>

// The names the service, its installer and its clients must agree on.
namespace velmora::vpn {

// The service's name with the service manager, and the base of its pipe name.
inline constexpr wchar_t kServiceName[] = L"VelmoraVpnService";

// The pipe clients reach the service on unless it was started with another.
inline const std::wstring kDefaultPipeName = std::wstring(L"\\\\.\\pipe\\") + kServiceName;

// The version every response carries.
inline constexpr std::uint64_t kProtocolVersion = 1;

}  // namespace velmora::vpn
