#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/data_folder.h"
#include "platform/descriptor_limit.h"
#include "platform/trusted_group.h"

namespace velmora::vpn {

// Where an operator names the trusted group (docs/operations.md): the value
// TrustedGroup of the service's Parameters key, or /etc/velmora-vpn/trusted-group.
inline const platform::SettingPlace kTrustedGroupSetting{
    "SYSTEM\\CurrentControlSet\\Services\\VelmoraVpnService\\Parameters", "TrustedGroup",
    "/etc/velmora-vpn/trusted-group"};

// What an ordinary caller's configuration may ask of the service
// (docs/security.md, docs/operations.md). The defaults are the product's
// values; tests hand in their own folders and figures.
struct PolicySettings {
    // Where ordinary users' own folders are made (users/<uid or SID>).
    // %ProgramData%\VelmoraVpnService, /var/lib/velmora-vpn.
    std::string dataFolder = platform::machineDataFolder("VelmoraVpnService", "velmora-vpn");
    // The group whose members start any configuration, as the system names
    // callers' groups; none unless an operator named one.
    std::optional<std::string> trustedGroup;
    // Listeners (inbounds, endpoints and the controllers' addresses) in one
    // ordinary caller's configuration, and in all of one ordinary user's
    // instances together. A desktop configuration has two or three.
    std::int32_t maxListenersPerStart = 16;
    std::int32_t maxListenersPerUser = 32;
    // Cache files an ordinary user's folder keeps (one per cache id; the
    // engine opens them with the system's rights), and the bytes they may
    // take before a start with a cache file is refused; the longest cache id,
    // which names its file.
    std::int32_t maxCacheFiles = 8;
    std::uint64_t maxCacheBytes = 64 * 1024 * 1024;
    std::size_t maxCacheIdBytes = 64;
    // Descriptors the service keeps for itself: an ordinary user's start that
    // would leave fewer is refused, so the accept loop and privileged callers
    // are always served.
    std::size_t descriptorReserve = 256;
    // Listeners on ports below 1024 are refused where only root may bind them.
    bool refuseLowPorts = platform::lowPortsNeedPrivilege();
    // How many descriptors are left (tests count their own).
    std::function<std::optional<std::size_t>()> descriptorsLeft = platform::descriptorsLeft;
};

}  // namespace velmora::vpn
