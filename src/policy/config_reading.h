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

// A configuration's tree, and the number of members each of its objects
// holds as written, in the order the objects open. A tree keeps only the
// last of keys given twice: an object of the tree with fewer members than
// written had such a key.
struct ReadConfiguration {
    boost::json::value tree;
    std::vector<std::uint32_t> writtenSizes;
};

// Parses `text` once into `memory` (also the parser's working memory),
// counting members on the way; sets `failure` when it is not JSON.
ReadConfiguration readConfiguration(std::string_view text, const boost::json::storage_ptr& memory,
                                    boost::json::error_code& failure);

}  // namespace velmora::vpn::policy
