#include "server/protocol_responses.h"

#include "server/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

// The response envelope: "version" and, when the request object has one, a
// copy of its "requestId". The copy is made in the request's own memory, so
// an id as large as the request counts against the request's parse budget.
boost::json::object makeEnvelope(const boost::json::object* request) {
    boost::json::object envelope(request != nullptr ? request->storage() : boost::json::storage_ptr());
    envelope["version"] = kProtocolVersion;
    if (request != nullptr) {
        if (const boost::json::value* requestId = request->if_contains("requestId")) {
            envelope["requestId"] = *requestId;
        }
    }
    return envelope;
}

}  // namespace

std::string successResponse(const boost::json::object* request, boost::json::object payload) {
    boost::json::object response = makeEnvelope(request);
    response["ok"] = true;
    response["payload"] = std::move(payload);
    return boost::json::serialize(response);
}

std::string errorResponse(const boost::json::object* request, const std::string& message) {
    boost::json::object response = makeEnvelope(request);
    response["ok"] = false;
    response["error"] = boost::json::object{{"message", message}};
    return boost::json::serialize(response);
}

}  // namespace velmora::vpn
