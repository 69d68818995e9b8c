#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/json/storage_ptr.hpp>

#include "platform/caller_identity.h"
#include "policy/policy_settings.h"

// What a start's configuration may make the service do. The engine runs a
// configuration inside our process, with LocalSystem's (root's) rights:
// privileged callers and members of the operator's trusted group start any
// configuration; everyone else's reaches no file, folder or program the
// service does not assign it (docs/security.md).
namespace velmora::vpn {

// The cache file an admitted configuration keeps in the user's own folder.
struct CacheFile {
    std::string name;                  // its name in the folder; empty when there is none
    std::vector<std::string> present;  // what the folder held when it was checked
};

struct Admission {
    bool admitted = false;
    std::string refusal;       // the answer's message when refused
    std::string why;           // what the log adds to a refusal, when anything
    std::string config;        // when admitted, what the engine receives
    std::int32_t listeners{};  // counted against an ordinary user's share
    CacheFile cache;           // counted against an ordinary user's folder
};

// Whether `caller` starts any configuration unchecked.
bool trustedCaller(const platform::CallerIdentity& caller, const PolicySettings& settings);

// Checks a start's configuration text for `caller`. A trusted caller's text
// passes unchanged and uncounted. Anyone else's is parsed with `memory`,
// every key matched as the engine matches it, and refused at its first field
// that nobody reviewed (reviewed_fields.cpp) or that is known to reach files
// (field_rules.cpp); an admitted one is written out again from the checked
// tree, with the path the service assigns (the profile's cache file in the
// user's own folder, made on the way) filled in: what is checked is what runs.
Admission admitConfiguration(const std::string& config, const platform::CallerIdentity& caller,
                             const PolicySettings& settings, const boost::json::storage_ptr& memory);

}  // namespace velmora::vpn
