#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

namespace velmora::vpn::policy {

// A key as the engine's decoder compares keys: letter case does not count,
// and Unicode's simple case folding also takes U+017F (long s) for "s" and
// U+212A (Kelvin sign) for "k". Keys are folded before any rule sees them.
std::string foldKey(std::string_view key);
// The same, into `folded` (its memory reused).
void foldKey(std::string_view key, std::string& folded);

// The number of members each object of `text` holds as written, in the order
// the objects open. A parsed tree keeps only the last of keys given twice;
// an object of the tree with fewer members than written had such a key.
// `text` must be valid JSON (it has been parsed already).
std::vector<std::uint32_t> writtenObjectSizes(std::string_view text);

}  // namespace velmora::vpn::policy
