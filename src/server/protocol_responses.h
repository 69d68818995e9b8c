#pragma once

#include <string>

#include <boost/json.hpp>

namespace velmora::vpn {

// `request` may be null below (unparsable or non-object requests); the
// envelope then has no "requestId".

// Serialised success response: envelope, "ok": true, "payload".
std::string successResponse(const boost::json::object* request, boost::json::object payload);

// Serialised failure response: envelope, "ok": false, "error": {"message"}.
std::string errorResponse(const boost::json::object* request, const std::string& message);

}  // namespace velmora::vpn
