#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/pipe_io.h"

// The server side of the service's pipe: one listening endpoint at a time
// and the connections it hands out. On Windows every connection is a named
// pipe instance of its own, created non-blocking and polled; elsewhere a Unix
// domain socket listens and each accepted socket is a connection.
namespace velmora::vpn::platform {

enum class PollOutcome {
    connected,  // a client is connected; the connection now belongs to the caller
    waiting,    // no client yet; the poll has waited its interval
    failed,     // the endpoint failed; the caller logs the failure and closes it
    throttled,  // the system ran out of resources; the endpoint stays, the caller logs the failure and pauses
};

class PipeListener {
public:
    // Prepares the endpoint's access rules; creates nothing yet.
    explicit PipeListener(const std::wstring& pipeName);
    // Why the endpoint falls back to the system's default access rules
    // (Windows, when its own could not be built), for the owner to log; no
    // call when it does not.
    const SystemError& accessFallback() const;
    // Closes a listening endpoint and releases the access rules.
    ~PipeListener();
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;

    // Makes an endpoint listen (a new instance on Windows; elsewhere the
    // socket, unless it listens already). False with the failure.
    bool createInstance(SystemError& error);
    // Looks for a client once, waiting up to `interval` when none is there.
    PollOutcome poll(std::chrono::milliseconds interval, OwnedHandle& connection, SystemError& error);
    // Stops listening.
    void closeInstance();
    // Whether another process had the name already when the first endpoint
    // was created (Windows; never elsewhere, where the name is kept).
    bool nameTaken() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The mode flags every pipe instance is created with (Windows; 0 elsewhere).
// Windows reports none of them back on a client's handle, so tests read them
// here.
std::uint32_t pipeInstanceMode();

// One accepted connection, owned by its client thread.
class PipeConnection {
public:
    explicit PipeConnection(OwnedHandle handle) : handle_(std::move(handle)) {}

    NativeHandle handle() const { return handle_.get(); }
    // Switches the connection to blocking reads and writes.
    void makeBlocking();
    // Waits until the client has read what was written, then disconnects it.
    void flushAndDisconnect();
    // Disconnects the client at once, whatever it has not read yet.
    void disconnect();

private:
    OwnedHandle handle_;
};

}  // namespace velmora::vpn::platform
