#pragma once

#include <string>

#include <boost/json.hpp>

namespace velmora::vpn {

// The response envelope: "version" and, when the request object has one, a
// copy of its "requestId". `request` may be null (unparsable or non-object
// requests).
boost::json::object makeEnvelope(const boost::json::object* request);

// Serialised success response: envelope, "ok": true, "payload".
std::string successResponse(const boost::json::object* request, boost::json::object payload);

// Serialised failure response: envelope, "ok": false, "error": {"message"}.
std::string errorResponse(const boost::json::object* request, const std::string& message);

}  // namespace velmora::vpn
