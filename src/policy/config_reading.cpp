#include "policy/config_reading.h"

#include <boost/json/basic_parser_impl.hpp>

namespace velmora::vpn::policy {
namespace {

// Records each object's member count at its end, at the place it took when
// it opened; everything else passes.
struct SizeRecorder {
    static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);
    using errors = boost::json::error_code;
    using view = boost::json::string_view;

    std::vector<std::uint32_t> sizes;
    std::vector<std::size_t> open;  // places of the objects open now, innermost last

    bool on_object_begin(errors&) {
        open.push_back(sizes.size());
        sizes.push_back(0);
        return true;
    }
    bool on_object_end(std::size_t members, errors&) {
        sizes[open.back()] = static_cast<std::uint32_t>(members);
        open.pop_back();
        return true;
    }
    bool on_document_begin(errors&) { return true; }
    bool on_document_end(errors&) { return true; }
    bool on_array_begin(errors&) { return true; }
    bool on_array_end(std::size_t, errors&) { return true; }
    bool on_string_part(view, std::size_t, errors&) { return true; }
    bool on_string(view, std::size_t, errors&) { return true; }
    bool on_key_part(view, std::size_t, errors&) { return true; }
    bool on_key(view, std::size_t, errors&) { return true; }
    bool on_number_part(view, errors&) { return true; }
    bool on_int64(std::int64_t, view, errors&) { return true; }
    bool on_uint64(std::uint64_t, view, errors&) { return true; }
    bool on_double(double, view, errors&) { return true; }
    bool on_bool(bool, errors&) { return true; }
    bool on_null(errors&) { return true; }
    bool on_comment_part(view, errors&) { return true; }
    bool on_comment(view, errors&) { return true; }
};

}  // namespace

std::string foldKey(std::string_view key) {
    std::string folded;
    foldKey(key, folded);
    return folded;
}

void foldKey(std::string_view key, std::string& folded) {
    folded.clear();
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (key.compare(i, 2, "\xC5\xBF") == 0) {  // U+017F
            folded += 's';
            ++i;
        } else if (key.compare(i, 3, "\xE2\x84\xAA") == 0) {  // U+212A
            folded += 'k';
            i += 2;
        } else {
            const char c = key[i];
            folded += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
}

std::vector<std::uint32_t> writtenObjectSizes(std::string_view text) {
    boost::json::basic_parser<SizeRecorder> parser(boost::json::parse_options{});
    boost::json::error_code ignored;
    parser.write_some(false, text.data(), text.size(), ignored);
    return std::move(parser.handler().sizes);
}

}  // namespace velmora::vpn::policy
