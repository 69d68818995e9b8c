#include "platform/pipe_endpoint.h"
#include "platform/read_breaker.h"
#include "protocol/pipe_framing.h"
#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

// Lowers the active-client count however the client thread ends.
class CountOut {
public:
    explicit CountOut(ClientBook& book) : book_(book) {}
    ~CountOut() { book_.countOut(); }
    CountOut(const CountOut&) = delete;
    CountOut& operator=(const CountOut&) = delete;

private:
    ClientBook& book_;
};

}  // namespace

// Runs on a detached thread that owns the connection and shares only `book`
// with the server. The server is used only inside a ServerCall, so a thread
// that outlives the server never touches it.
void SingBoxNamedPipeServer::clientThreadMain(SingBoxNamedPipeServer* server, std::shared_ptr<ClientBook> book,
                                              platform::NativeHandle pipe, std::chrono::milliseconds deadline) {
    // Destroyed in reverse order: the count goes down, then the handle is closed.
    platform::PipeConnection connection(pipe);
    CountOut countOut(*book);
    try {
        connection.makeBlocking();
        serveClient(server, *book, connection.handle(), deadline);
    } catch (...) {
        // Memory exhaustion or a foreign exception while serving costs this
        // connection its answer; the server and the other clients go on.
        try {
            ServerCall call(*book);
            if (call.entered()) server->logConnectionFailure("Client connection failed while serving a request");
        } catch (...) {
        }
    }
    connection.flushAndDisconnect();
}

// `deadline` is the time the client has to deliver its request, handed over
// with the connection so that reading it needs no call into the server.
void SingBoxNamedPipeServer::serveClient(SingBoxNamedPipeServer* server, ClientBook& book, platform::NativeHandle pipe,
                                         std::chrono::milliseconds deadline) {
    std::string request;
    std::string error;
    bool received = false;
    {
        // A client has the deadline to deliver its whole request; then the
        // deadline watch breaks the read off.
        const platform::ReadBreaker breaker(pipe);
        const std::uint64_t ticket = book.registerReader(breaker, std::chrono::steady_clock::now() + deadline);
        received = readMessage(pipe, request, error);
        if (book.withdrawReader(ticket)) {
            received = false;
            error = "Client sent no complete request within " + std::to_string(deadline.count()) + " ms";
        }
    }
    if (!received) {
        ServerCall call(book);
        if (call.entered()) server->logConnectionFailure(error);
        return;
    }
    std::string response;
    {
        ServerCall call(book);
        if (!call.entered()) return;  // the server is gone: no answer
        response = server->handleRequest(request);
    }
    if (!writeMessage(pipe, response.data(), response.size(), error)) {
        ServerCall call(book);
        if (call.entered()) server->logConnectionFailure(error);
    }
    // A further frame on this connection is never read: one request per connection.
}

}  // namespace velmora::vpn
