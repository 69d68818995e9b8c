#include "windows/singbox_named_pipe_server.h"

#include "platform/detached_thread.h"
#include "platform/pipe_endpoint.h"

namespace velmora::vpn {

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
    platform::PipeListener listener(pipeName_);

    while (!stopFlag.load()) {
        std::string error;
        if (!listener.createInstance(error)) {
            log(error);
            std::this_thread::sleep_for(settings_.createRetryPause);
            continue;
        }
        if (stopFlag.load()) {
            listener.closeInstance();
            break;
        }
        for (;;) {
            platform::NativeHandle connection{};
            const platform::PollOutcome outcome = listener.poll(settings_.connectPollInterval, connection, error);
            if (outcome == platform::PollOutcome::connected) {
                // The count goes up before the thread exists, so shutdown can
                // never miss a thread that has been handed a connection.
                clients_->countIn();
                try {
                    platform::startDetachedThread(
                        [this, book = clients_, connection] { clientThreadMain(this, book, connection); });
                } catch (...) {
                    platform::PipeConnection dropped(connection);
                    clients_->countOut();
                    throw;
                }
                break;
            }
            if (outcome == platform::PollOutcome::throttled) {
                log(error);
                std::this_thread::sleep_for(settings_.createRetryPause);
            }
            if (outcome == platform::PollOutcome::failed) {
                // No pause: a new endpoint is created at once.
                log(error);
                listener.closeInstance();
                break;
            }
            if (stopFlag.load()) {
                listener.closeInstance();
                break;
            }
        }
    }

    // Nobody new gets in while run waits for the clients it has.
    listener.closeInstance();
    stopOwnerWatcher();
    waitForClientThreads();
    log("Named pipe server stopped");
}

void SingBoxNamedPipeServer::waitForClientThreads() {
    const std::int32_t stillRunning = clients_->waitForClients(settings_.clientWaitLimit);
    if (stillRunning != 0) {
        log("Timed out waiting for " + std::to_string(stillRunning) + " client thread(s)");
    }
}

}  // namespace velmora::vpn
