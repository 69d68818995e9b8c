#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/pipe_io.h"

// The server side of the service's pipe: one listening endpoint at a time
// and the connections it hands out. On Windows every connection is a named
// pipe instance of its own, created non-blocking and polled; elsewhere a Unix
// domain socket listens and each accepted socket is a connection.
namespace velmora::vpn::platform {

enum class PollOutcome {
    connected,  // a client is connected; the connection now belongs to the caller
    waiting,    // no client yet; the poll has waited its interval
    failed,     // the endpoint failed; the caller logs the text and closes it
    throttled,  // the system ran out of resources; the endpoint stays, the caller logs the text and pauses
};

class PipeListener {
public:
    // Prepares the endpoint's access rules; creates nothing yet.
    explicit PipeListener(const std::wstring& pipeName);
    // Closes a listening endpoint and releases the access rules.
    ~PipeListener();
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;

    // Makes an endpoint listen (a new instance on Windows; elsewhere the
    // socket, unless it listens already). False with the failure text.
    bool createInstance(std::string& error);
    // Looks for a client once, waiting up to `interval` when none is there.
    PollOutcome poll(std::chrono::milliseconds interval, NativeHandle& connection, std::string& error);
    // Stops listening.
    void closeInstance();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// One accepted connection, owned by its client thread.
class PipeConnection {
public:
    explicit PipeConnection(NativeHandle handle) : handle_(handle) {}
    // Closes the handle.
    ~PipeConnection();
    PipeConnection(const PipeConnection&) = delete;
    PipeConnection& operator=(const PipeConnection&) = delete;

    NativeHandle handle() const { return handle_; }
    // Switches the connection to blocking reads and writes.
    void makeBlocking();
    // Waits until the client has read what was written, then disconnects it.
    void flushAndDisconnect();
    // Disconnects the client at once, whatever it has not read yet.
    void disconnect();

private:
    NativeHandle handle_;
};

}  // namespace velmora::vpn::platform
