#pragma once

#include <span>
#include <string_view>

// Which fields of an engine configuration an ordinary caller may not give,
// and why (docs/security.md). Locations are written with folded keys (see
// foldKey), "[]" for any element of a list, and a leading "*." for the key
// at any depth.
namespace velmora::vpn::policy {

// What a refused field would make the service do; its text ends refusals.
enum class Effect { writes, reads, serves, runs, process, assigned, pathLike };
std::string_view effectText(Effect effect);

// A field refused wherever it is given.
struct FieldRule {
    std::string_view location;
    Effect effect;
};
// An element of a list refused for its "type".
struct TypeRule {
    std::string_view list;  // location of the list's elements
    std::string_view type;
    Effect effect;
};
// A field named like a path that names no file: given in the object at
// `location`'s parent, it passes when that object's "type" is `onlyType`
// (any type when empty) and is not `exceptType`.
struct NotAPath {
    std::string_view location;
    std::string_view onlyType;
    std::string_view exceptType;
};
// A name a newer engine's unreviewed path field would have.
struct PathName {
    enum class Match { whole, prefix, suffix } match;
    std::string_view text;
};

std::span<const FieldRule> fieldRules();
std::span<const TypeRule> typeRules();
std::span<const NotAPath> notPaths();
std::span<const PathName> pathNames();

// Whether the folded `location` is the rule's: equal, or for "*.key" rules,
// ending in that key (with the dots before it).
bool matches(std::string_view rule, std::string_view location);

}  // namespace velmora::vpn::policy
