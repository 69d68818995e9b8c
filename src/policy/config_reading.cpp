#include "policy/config_reading.h"

#include <boost/json/basic_parser_impl.hpp>

namespace velmora::vpn::policy {
namespace {

// Builds the tree as Boost.JSON's own parser does, and records each object's
// member count as written at the place it took when it opened.
struct CountingBuilder {
    static constexpr std::size_t max_object_size = boost::json::object::max_size();
    static constexpr std::size_t max_array_size = boost::json::array::max_size();
    static constexpr std::size_t max_key_size = boost::json::string::max_size();
    static constexpr std::size_t max_string_size = boost::json::string::max_size();
    using errors = boost::json::error_code;
    using view = boost::json::string_view;

    explicit CountingBuilder(const boost::json::storage_ptr& memory) : values(memory) { values.reset(memory); }

    boost::json::value_stack values;
    std::vector<std::uint32_t> sizes;
    std::vector<std::size_t> open;  // places of the objects open now, innermost last

    bool on_object_begin(errors&) {
        open.push_back(sizes.size());
        sizes.push_back(0);
        return true;
    }
    bool on_object_end(std::size_t members, errors&) {
        values.push_object(members);
        sizes[open.back()] = static_cast<std::uint32_t>(members);
        open.pop_back();
        return true;
    }
    bool on_array_end(std::size_t elements, errors&) {
        values.push_array(elements);
        return true;
    }
    bool on_key_part(view part, std::size_t, errors&) {
        values.push_chars(part);
        return true;
    }
    bool on_key(view key, std::size_t, errors&) {
        values.push_key(key);
        return true;
    }
    bool on_string_part(view part, std::size_t, errors&) {
        values.push_chars(part);
        return true;
    }
    bool on_string(view text, std::size_t, errors&) {
        values.push_string(text);
        return true;
    }
    bool on_int64(std::int64_t number, view, errors&) {
        values.push_int64(number);
        return true;
    }
    bool on_uint64(std::uint64_t number, view, errors&) {
        values.push_uint64(number);
        return true;
    }
    bool on_double(double number, view, errors&) {
        values.push_double(number);
        return true;
    }
    bool on_bool(bool truth, errors&) {
        values.push_bool(truth);
        return true;
    }
    bool on_null(errors&) {
        values.push_null();
        return true;
    }
    bool on_document_begin(errors&) { return true; }
    bool on_document_end(errors&) { return true; }
    bool on_array_begin(errors&) { return true; }
    bool on_number_part(view, errors&) { return true; }
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
    folded.resize(key.size());
    std::size_t out = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const char c = key[i];
        if (c >= 'A' && c <= 'Z') {
            folded[out++] = static_cast<char>(c - 'A' + 'a');
        } else if (c == '\xC5' && key.compare(i, 2, "\xC5\xBF") == 0) {  // U+017F
            folded[out++] = 's';
            ++i;
        } else if (c == '\xE2' && key.compare(i, 3, "\xE2\x84\xAA") == 0) {  // U+212A
            folded[out++] = 'k';
            i += 2;
        } else {
            folded[out++] = c;
        }
    }
    folded.resize(out);
}

ReadConfiguration readConfiguration(std::string_view text, const boost::json::storage_ptr& memory,
                                    boost::json::error_code& failure) {
    boost::json::basic_parser<CountingBuilder> parser(boost::json::parse_options{}, memory);
    const std::size_t used = parser.write_some(false, text.data(), text.size(), failure);
    if (!failure && used < text.size()) failure = boost::json::error::extra_data;
    if (failure) return {};
    return {parser.handler().values.release(), std::move(parser.handler().sizes)};
}

}  // namespace velmora::vpn::policy
