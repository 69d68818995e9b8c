#include "pipe_client.h"

#include "client_connection.h"
#include "protocol/pipe_framing.h"

namespace velmora::client {

Exchange sendRequest(const std::wstring& pipeName, const std::string& request, std::chrono::milliseconds timeout,
                     ServerTrust trust) {
    Exchange exchange;
    ClientConnection connection;
    if (!connection.connect(pipeName, timeout, exchange.error, trust)) return exchange;
    connection.limitIo(timeout);
    if (!velmora::vpn::writeMessage(connection.handle(), request.data(), request.size(), exchange.error)) {
        return exchange;
    }
    if (!velmora::vpn::readMessage(connection.handle(), exchange.response, exchange.error)) return exchange;
    exchange.delivered = true;
    return exchange;
}

}  // namespace velmora::client
