#pragma once

#include <cstdint>
#include <string_view>

// What an ordinary caller's configuration may hold: every structure of the
// engine's configuration that a desktop client uses, and in each the fields
// someone reviewed (docs/security.md). Anything else is refused. Keys are
// folded (see foldKey), as the engine matches them.
namespace velmora::vpn::policy {

// How a reviewed field's value is read.
enum class Kind : std::uint8_t {
    value,      // text, number, true, false or null, or a list of them
    map,        // an object whose keys are data, kept as written, with values as above
    object,     // an object of the structure `of`
    objects,    // a list of objects of the structure `of`
    valueOr,    // a value, or an object of the structure `of`
    listeners,  // a list of objects of the structure `of`, each of which listens
    port,       // a port this machine listens on
    address,    // "host:port" this machine listens on, when not empty
    fields,     // no field of its own: the fields of the structure `of` belong here too
};

// One reviewed field of one structure. A structure whose name ends in ':'
// is a family: each element takes the member named by its "type" ("outbound:"
// and "vless" make "outbound:vless"; no type makes "outbound:").
struct Reviewed {
    std::string_view structure;
    std::string_view key;
    Kind kind;
    std::string_view of = {};
};

// The structure of a whole configuration.
inline constexpr std::string_view kTopLevel = "configuration";

// The reviewed field `key` of `structure`, its included structures' fields
// counted; null when nobody reviewed it.
const Reviewed* reviewedField(std::string_view structure, std::string_view key);

// Whether `structure` was reviewed at all (for a family's member: whether
// its type was).
bool reviewedStructure(std::string_view structure);

}  // namespace velmora::vpn::policy
