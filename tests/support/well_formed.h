#pragma once

#include <string>

#include <boost/json.hpp>

namespace velmora::vpn::testing {

// A response the protocol allows: one JSON object, "version": 1 first, a
// boolean "ok", and a payload on success or an error on failure.
inline bool wellFormedResponse(const std::string& response) {
    boost::json::error_code error;
    const boost::json::value parsed = boost::json::parse(response, error);
    if (error || !parsed.is_object()) return false;
    const boost::json::object& object = parsed.get_object();
    if (object.empty() || object.begin()->key() != "version" || object.begin()->value() != 1) return false;
    const boost::json::value* ok = object.if_contains("ok");
    if (ok == nullptr || !ok->is_bool()) return false;
    return ok->get_bool() ? object.contains("payload") : object.contains("error");
}

}  // namespace velmora::vpn::testing
