#include "support/traffic.h"

#include <algorithm>

#include "support/wait_until.h"

namespace velmora::vpn::testing {

std::string startRequest(const std::string& standin, std::uint16_t port, std::uint32_t owner) {
    std::string config = R"({\"standin\":{)" + standin + "}";
    if (port != 0) config += R"(,\"inbounds\":[{\"listen_port\":)" + std::to_string(port) + "}]";
    return R"({"command":"start","payload":{"config":")" + config + R"(}","ownerProcessId":)" + std::to_string(owner) +
           "}}";
}

std::int32_t startedId(const std::string& answer) {
    const std::string prefix = R"({"version":1,"ok":true,"payload":{"instanceId":)";
    const std::string digits = answer.substr(std::min(prefix.size(), answer.size()), answer.size() - prefix.size() - 2);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    // The whole answer, in its one canonical form: a stray key, order or zero is wrong too.
    const std::int32_t id = std::stoi(digits);
    return answer == okAnswer(R"({"instanceId":)" + std::to_string(id) + "}") ? id : -1;
}

Traffic::Traffic(std::wstring pipe, int clients, std::chrono::milliseconds timeout, Round round) {
    if (!round) {
        round = [pipe, timeout](int client, long number) {
            const long id = client * 1000000L + number;
            const auto exchange = velmora::client::sendRequest(pipe, pingRequest(id), timeout);
            if (!exchange.delivered) return Outcome::undelivered;
            return exchange.response == pingAnswer(id) ? Outcome::answered : Outcome::wrong;
        };
    }
    for (int c = 0; c < clients; ++c) {
        running_.push_back(std::async(std::launch::async, [this, round, c] {
            for (long number = 0; !stop_; ++number) ++counts_[static_cast<int>(round(c, number))];
        }));
    }
}

void Traffic::finish() {
    stop_ = true;
    for (auto& client : running_) client.get();
    running_.clear();
}

bool Traffic::answersMore(long more, std::chrono::milliseconds limit) const {
    const long target = answered() + more;
    return waitUntil([&] { return answered() >= target; }, limit);
}

}  // namespace velmora::vpn::testing
