#include "server/singbox_named_pipe_server.h"

#include "platform/detached_thread.h"
#include "platform/pipe_endpoint.h"
#include "server/repeating_failure.h"

namespace velmora::vpn {
namespace {

// The thread that breaks off requests whose deadline passed, for one run;
// stopped and joined on every way out of it.
class DeadlineWatch {
public:
    explicit DeadlineWatch(std::shared_ptr<ClientBook> book) : book_(std::move(book)) {
        book_->armDeadlineWatch();
        thread_ = std::thread([book = book_] { book->watchDeadlines(); });
    }
    ~DeadlineWatch() { stop(); }
    DeadlineWatch(const DeadlineWatch&) = delete;
    DeadlineWatch& operator=(const DeadlineWatch&) = delete;
    void stop() {
        book_->stopDeadlineWatch();
        if (thread_.joinable()) thread_.join();
    }

private:
    std::shared_ptr<ClientBook> book_;
    std::thread thread_;
};

}  // namespace

SingBoxNamedPipeServer::SingBoxNamedPipeServer(std::wstring pipeName, SingBoxBackend& backend, LogCallback log,
                                               PipeServerSettings settings)
    : pipeName_(pipeName.empty() ? std::wstring(kDefaultPipeName) : std::move(pipeName)),
      backend_(backend),
      log_(std::move(log)),
      settings_(settings) {}

SingBoxNamedPipeServer::~SingBoxNamedPipeServer() {
    stopOwnerWatcher();
    // Client threads that outlived run's wait may still be blocked on their
    // client; from here on they are kept out of this object.
    clients_->detachServer();
}

void SingBoxNamedPipeServer::log(const std::string& line) const {
    if (log_) log_(line);
}

void SingBoxNamedPipeServer::run(std::atomic<bool>& stopFlag) {
    log("Named pipe server starting");
    startOwnerWatcher();
    DeadlineWatch deadlines(clients_);
    platform::PipeListener listener(pipeName_);
    bool created = false;  // the first endpoint has been made
    RepeatingFailure endpointFailures("Creating the pipe endpoint", settings_.failureSummaryInterval);
    RepeatingFailure acceptFailures("Accepting a client", settings_.failureSummaryInterval);
    if (const platform::SystemError& fallback = listener.accessFallback(); fallback.call != nullptr) {
        log("Pipe access falls back to the system's default: " + platform::failureText(fallback));
    }

    while (!stopFlag.load()) {
        // At the cap no new connection is taken until one ends: clients wait
        // in the system's queue, or find the pipe busy and retry.
        if (!clients_->waitForRoom(settings_.maxClients, settings_.connectPollInterval)) continue;
        platform::SystemError error;
        const bool first = !created;
        if (!listener.createInstance(error)) {
            for (const std::string& line : endpointFailures.failed(platform::failureText(error))) log(line);
            std::this_thread::sleep_for(settings_.createRetryPause);
            continue;
        }
        for (const std::string& line : endpointFailures.succeeded()) log(line);
        created = true;
        if (first && listener.nameTaken()) {
            log("The pipe name was taken by another process already; serving beside it (clients that check who "
                "serves them move past its instances)");
        }
        if (stopFlag.load()) break;
        for (;;) {
            platform::OwnedHandle connection;
            const platform::PollOutcome outcome = listener.poll(settings_.connectPollInterval, connection, error);
            if (outcome == platform::PollOutcome::connected) {
                for (const std::string& line : acceptFailures.succeeded()) log(line);
                if (!handOver(std::move(connection))) std::this_thread::sleep_for(settings_.createRetryPause);
                break;
            }
            if (outcome == platform::PollOutcome::throttled) {
                for (const std::string& line : acceptFailures.failed(platform::failureText(error))) log(line);
                std::this_thread::sleep_for(settings_.createRetryPause);
            }
            if (outcome == platform::PollOutcome::failed) {
                // No pause: a new endpoint is created at once.
                log(platform::failureText(error));
                listener.closeInstance();
                break;
            }
            if (stopFlag.load()) break;
        }
    }

    // Nobody new gets in while run waits for the clients it has.
    listener.closeInstance();
    stopOwnerWatcher();
    clients_->limitDeadlines(std::chrono::steady_clock::now() + settings_.requestDeadline);
    waitForClientThreads();
    // From here on no client thread enters the server or the backend: a
    // client that outlived the wait gets no answer, and starts nothing after
    // the runtime has stopped every instance.
    clients_->detachServer();
    deadlines.stop();
    log("Named pipe server stopped");
}

// Starts the connection's client thread, if the caller is within its share
// of connections; a connection beyond it is closed at once (as `connection`
// goes). A thread that
// cannot be created (the system's limit on threads, memory) costs only this
// connection. False when the loop should pause.
bool SingBoxNamedPipeServer::handOver(platform::OwnedHandle connection) {
    platform::SystemError error;
    const std::optional<platform::CallerIdentity> caller = platform::connectingCaller(connection.get(), error);
    // The count goes up before the thread exists, so shutdown can never miss
    // a thread that has been handed a connection.
    const auto admission = caller ? clients_->countIn(*caller, settings_.maxConnectionsPerUser,
                                                      settings_.maxClients - settings_.privilegedPlaces)
                                  : ClientBook::Admission::userShareTaken;
    if (admission != ClientBook::Admission::admitted) {
        if (!caller) {
            logConnectionFailure(platform::failureText(error));
        } else if (admission == ClientBook::Admission::userShareTaken) {
            logConnectionFailure("User " + caller->user + " holds " + std::to_string(settings_.maxConnectionsPerUser) +
                                 " connections already; one more was closed");
        } else {
            logConnectionFailure("Ordinary users hold " +
                                 std::to_string(settings_.maxClients - settings_.privilegedPlaces) +
                                 " connections already; one more was closed");
        }
        return true;
    }
    std::string failure;
    try {
        if (platform::startDetachedThread(
                [this, book = clients_, pipe = connection.get(), caller = *caller, settings = settings_] {
                    clientThreadMain(this, book, pipe, caller, settings);
                },
                settings_.clientStackBytes, error)) {
            connection.release();  // the client thread owns it now
            return true;
        }
        failure = std::string(error.call) + ": " + platform::systemErrorMessage(error.code);
    } catch (const std::exception& exhausted) {  // no memory for the thread's body
        failure = exhausted.what();
    }
    clients_->countOut(*caller);
    log("Client thread could not be started: " + failure);
    return false;
}

void SingBoxNamedPipeServer::logConnectionFailure(const std::string& line) {
    for (const std::string& admitted : connectionLines_.admit(line)) log(admitted);
}

void SingBoxNamedPipeServer::logInstance(const std::string& line, const std::string& user, bool ordinary) {
    if (!ordinary) return log(line);
    for (const std::string& admitted : instanceLines_.admit(user, line)) log(admitted);
}

void SingBoxNamedPipeServer::flushLimitedLines() {
    for (const std::string& summary : connectionLines_.flush()) log(summary);
    for (const std::string& summary : instanceLines_.flush()) log(summary);
}

void SingBoxNamedPipeServer::waitForClientThreads() {
    const std::int32_t stillRunning = clients_->waitForClients(settings_.clientWaitLimit);
    if (stillRunning != 0) {
        log("Timed out waiting for " + std::to_string(stillRunning) + " client thread(s)");
    }
}

}  // namespace velmora::vpn
