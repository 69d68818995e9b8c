#pragma once

#include <cstdint>
#include <string>

#include <boost/json/storage_ptr.hpp>

#include "platform/caller_identity.h"
#include "policy/policy_settings.h"

// What a start's configuration may make the service do. The engine runs a
// configuration inside our process, with LocalSystem's (root's) rights:
// privileged callers and members of the operator's trusted group start any
// configuration; everyone else's reaches no file, folder or program the
// service does not assign it (docs/security.md).
namespace velmora::vpn {

struct Admission {
    bool admitted = false;
    std::string refusal;         // the answer's message when refused
    std::string why;             // what the log adds to a refusal, when anything
    std::string config;          // when admitted, what the engine receives
    std::int32_t listeners = 0;  // counted against an ordinary user's share
};

// Whether `caller` starts any configuration unchecked.
bool trustedCaller(const platform::CallerIdentity& caller, const PolicySettings& settings);

// Checks a start's configuration text for `caller`. A trusted caller's text
// passes unchanged and uncounted. Anyone else's is parsed with `memory`,
// every key matched as the engine matches it, and refused at its first field
// that is not allowed; an admitted one is written out again from the checked
// tree, with the paths the service assigns (the cache file in the user's own
// folder, made on the way) filled in: what is checked is what runs.
Admission admitConfiguration(const std::string& config, const platform::CallerIdentity& caller,
                             const PolicySettings& settings, const boost::json::storage_ptr& memory);

}  // namespace velmora::vpn
