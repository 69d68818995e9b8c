#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn {

SingBoxNamedPipeServer::SingBoxNamedPipeServer(std::wstring pipeName, SingBoxBackend& backend, LogCallback log,
                                               PipeServerSettings settings)
    : pipeName_(pipeName.empty() ? kDefaultPipeName : std::move(pipeName)),
      backend_(backend),
      log_(std::move(log)),
      settings_(settings) {}

SingBoxNamedPipeServer::~SingBoxNamedPipeServer() {
    stopOwnerWatcher();
    clients_->detachServer();
}

void SingBoxNamedPipeServer::log(const std::string& line) const {
    if (log_) log_(line);
}

}  // namespace velmora::vpn
