#include "platform/caller_identity.h"
#include "platform/pipe_endpoint.h"
#include "platform/io_breaker.h"
#include "protocol/pipe_framing.h"
#include "server/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

// Lowers the client counts however the client thread ends.
class CountOut {
public:
    CountOut(ClientBook& book, const platform::CallerIdentity& caller) : book_(book), caller_(caller) {}
    ~CountOut() { book_.countOut(caller_); }
    CountOut(const CountOut&) = delete;
    CountOut& operator=(const CountOut&) = delete;

private:
    ClientBook& book_;
    const platform::CallerIdentity& caller_;
};

// Holds a large request's place from its admission to the end of its answer.
class LargeRequest {
public:
    LargeRequest(ClientBook& book, const platform::CallerIdentity& caller) : book_(book), caller_(caller) {}
    ~LargeRequest() {
        if (taken_) book_.giveLargeRequest(caller_);
    }
    LargeRequest(const LargeRequest&) = delete;
    LargeRequest& operator=(const LargeRequest&) = delete;
    bool take(std::int32_t most, std::chrono::steady_clock::time_point deadline) {
        return taken_ = book_.takeLargeRequest(caller_, most, deadline);
    }

private:
    ClientBook& book_;
    const platform::CallerIdentity& caller_;
    bool taken_ = false;
};

// One move of the exchange (`move`, true when it went through) under a
// deadline: the deadline watch breaks it off once `due` has passed, and it
// then fails with `late` and `limit` as its error, whatever the move said.
template <typename Move>
bool withinDeadline(ClientBook& book, platform::NativeHandle pipe, std::chrono::steady_clock::time_point due,
                    const char* late, const std::string& limit, std::string& error, Move move) {
    const platform::IoBreaker breaker(pipe);
    const std::uint64_t ticket = book.registerExchange(breaker, due);
    bool done = move();
    if (book.withdrawExchange(ticket)) {
        done = false;
        error = late + limit;
    }
    return done;
}

}  // namespace

// Runs on a detached thread that owns the connection and shares only `book`
// with the server. The server is used only inside a ServerCall, so a thread
// that outlives the server never touches it.
void SingBoxNamedPipeServer::clientThreadMain(SingBoxNamedPipeServer* server, std::shared_ptr<ClientBook> book,
                                              platform::NativeHandle pipe, const platform::CallerIdentity& caller,
                                              const PipeServerSettings& settings) {
    // Destroyed in reverse order: the count goes down, then the handle is closed.
    platform::PipeConnection connection{platform::OwnedHandle(pipe)};
    CountOut countOut(*book, caller);
    bool disconnected = false;
    try {
        connection.makeBlocking();
        disconnected = serveClient(server, *book, connection, caller, settings);
    } catch (...) {
        // Memory exhaustion or a foreign exception while serving costs this
        // connection its answer; the server and the other clients go on.
        try {
            ServerCall call(*book);
            if (call.entered()) server->logConnectionFailure("Client connection failed while serving a request");
        } catch (...) {
        }
    }
    // Without an answer delivered there is nothing to wait for: a client
    // that takes nothing must not hold the thread in a flush.
    if (!disconnected) connection.disconnect();
}

// The settings (the deadline the client has to deliver its request, and
// again to take its answer; the places for large requests) come with the
// connection, so that reading them needs no call into the server. Returns
// whether the answer was delivered (flushed, and the connection disconnected).
bool SingBoxNamedPipeServer::serveClient(SingBoxNamedPipeServer* server, ClientBook& book,
                                         platform::PipeConnection& connection,
                                         const platform::CallerIdentity& connecting,
                                         const PipeServerSettings& settings) {
    const platform::NativeHandle pipe = connection.handle();
    const std::chrono::milliseconds deadline = settings.requestDeadline;
    const std::string limit = std::to_string(deadline.count()) + " ms";
    LargeRequest large(book, connecting);
    std::string request;
    std::string error;
    // A client has the deadline to deliver its whole request.
    const auto due = std::chrono::steady_clock::now() + deadline;
    bool noPlace = false;  // the request waited for a large request's place until its deadline
    const auto receive = [&] {
        return readMessage(pipe, request, error,
                           [&] { return !(noPlace = !large.take(settings.maxLargeRequests, due)); });
    };
    const bool received =
        withinDeadline(book, pipe, due, "Client sent no complete request within ", limit, error, receive);
    if (noPlace) error = "Too many large requests at once";
    if (!received) {
        ServerCall call(book);
        if (call.entered()) server->logConnectionFailure(error);
        return false;
    }
    // What the request may do depends on who sent it.
    platform::SystemError unknown;
    const std::optional<platform::CallerIdentity> caller = platform::requestingCaller(pipe, connecting, unknown);
    std::string response;
    {
        ServerCall call(book);
        if (!call.entered()) return false;  // the server is gone: no answer
        if (!caller) {
            server->logConnectionFailure(platform::failureText(unknown));
            return false;
        }
        response = server->handleRequest(request, *caller);
    }
    std::string().swap(request);  // the body's memory goes before the answer is written
    // Handling is never broken off (the engine's calls cannot be); the
    // answer gets the deadline afresh: a client that does not take it loses
    // its connection, and holds up neither a thread nor a stop beyond it.
    const auto deliver = [&] {
        const bool written = writeMessage(pipe, response.data(), response.size(), error);
        if (written) connection.flushAndDisconnect();
        return written;
    };
    const bool answered = withinDeadline(book, pipe, std::chrono::steady_clock::now() + deadline,
                                         "Client took no answer within ", limit, error, deliver);
    if (!answered) {
        ServerCall call(book);
        if (call.entered()) server->logConnectionFailure(error);
    }
    // A further frame on this connection is never read: one request per connection.
    return answered;
}

}  // namespace velmora::vpn
