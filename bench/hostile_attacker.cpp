// A local client that does not behave, for bench/hostile_clients and for the
// limit tests, which run it as another user where there is one:
//   hostile_attacker KIND PIPE COUNT [N]
// COUNT clients, each on a thread of its own, keep up the attack until the
// program is killed:
//   announce  announce a 16 MiB body, send nothing more; again once cut off
//   silent    send nothing at all; again once cut off
//   unread    a ping whose requestId of N characters comes back in the
//             answer, which is never read; the connection is held
//   expand    send a 16 MiB body that the parser would expand about 25
//             times (an array of zeros), N times (without end if N is 0),
//             each answer read; the program ends when every client is done
//   flood     together about N requests a second: stops of instance 777777,
//             which nobody runs, stop-alls, starts of a configuration the
//             policy refuses, pings and bodies that are not JSON
//   slow      a ping written one byte every 20 ms, its answer read, N times
//             (once if N is 0); the program ends when every client is done,
//             with 0 when every answer was the pong and 1 otherwise
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "client_connection.h"
#include "pipe_client.h"
#include "platform/text.h"
#include "protocol/pipe_framing.h"

namespace {

using namespace velmora::vpn;
using velmora::client::ClientConnection;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPatience(60000);

// Sends a frame with `body` (or, not framed, the bytes as they are) on a new
// connection; false when that failed.
bool connectAndSend(ClientConnection& connection, const std::wstring& pipe, const std::string& body,
                    bool framed = true) {
    std::string error;
    if (!connection.connect(pipe, kPatience, error)) return false;
    const auto handle = connection.handle();
    return framed ? writeMessage(handle, body.data(), body.size(), error)
                  : body.empty() || writeExact(handle, body.data(), body.size(), error);
}

// Sends bytes that get no answer and holds the connection until the server
// closes it, then opens the next.
[[noreturn]] void holdUntilCutOff(const std::wstring& pipe, const std::string& bytes) {
    for (;;) {
        ClientConnection connection;
        std::string message, error;
        if (connectAndSend(connection, pipe, bytes, false)) readMessage(connection.handle(), message, error);
    }
}

[[noreturn]] void neverRead(const std::wstring& pipe, std::size_t idLength) {
    ClientConnection connection;
    connectAndSend(connection, pipe, R"({"command":"ping","requestId":")" + std::string(idLength, 'x') + "\"}");
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// A body of 16 MiB that the parser would expand about 25 times.
std::string expandingBody() {
    std::string body = R"({"command":"ping","x":[0)";
    while (body.size() + 4 <= kMaxPipeMessageSize) body += ",0";
    return body + "]}";
}

void expand(const std::wstring& pipe, const std::string& body, long rounds) {
    for (long round = 0; rounds == 0 || round < rounds; ++round) {
        ClientConnection connection;
        std::string answer, error;
        if (connectAndSend(connection, pipe, body)) readMessage(connection.handle(), answer, error);
    }
}

[[noreturn]] void flood(const std::wstring& pipe, int clients, long perSecond) {
    const std::string requests[] = {R"({"command":"stopAll"})",
                                    R"({"command":"start","payload":{"config":"{\"x\":1}"}})", R"({"command":"ping"})",
                                    "not json"};
    const auto period = std::chrono::duration<double>(clients / static_cast<double>(std::max(perSecond, 1L)));
    const auto start = Clock::now();
    for (long sent = 0;; ++sent) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(period * sent));
        velmora::client::sendRequest(
            pipe, sent % 2 == 0 ? R"({"command":"stop","payload":{"instanceId":777777}})" : requests[(sent / 2) % 4],
            kPatience);
    }
}

// True when the answer to the slowly written ping was the pong.
bool slowPing(const std::wstring& pipe) {
    const std::string body = R"({"command":"ping"})";
    const std::string frame = std::string{static_cast<char>(body.size()), 0, 0, 0} + body;
    ClientConnection connection;
    std::string answer, error;
    if (!connection.connect(pipe, kPatience, error)) return false;
    for (const char byte : frame) {
        if (!writeExact(connection.handle(), &byte, 1, error)) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return readMessage(connection.handle(), answer, error) &&
           answer == R"({"version":1,"ok":true,"payload":{"status":"ok"}})";
}

}  // namespace

int main(int argc, char** argv) {
    const std::string kind = argc < 4 ? "" : argv[1];
    if (kind != "announce" && kind != "silent" && kind != "unread" && kind != "expand" && kind != "flood" &&
        kind != "slow") {
        std::fprintf(stderr, "usage: hostile_attacker announce|silent|unread|expand|flood|slow PIPE COUNT [N]\n");
        return 87;
    }
    const std::wstring pipe = platform::fromUtf8(argv[2]);
    const int count = std::atoi(argv[3]);
    const long n = argc > 4 ? std::atol(argv[4]) : 0;
    const std::string body = kind == "expand" ? expandingBody() : "";
    std::atomic<int> done{0}, failed{0};
    for (int i = 0; i < count; ++i) {
        std::thread([&, i] {
            if (kind == "announce") holdUntilCutOff(pipe, std::string("\x00\x00\x00\x01", 4));
            if (kind == "silent") holdUntilCutOff(pipe, "");
            if (kind == "unread") neverRead(pipe, static_cast<std::size_t>(n));
            if (kind == "expand") expand(pipe, body, n);
            if (kind == "flood") flood(pipe, count, n);
            for (long round = 0; kind == "slow" && round < std::max(n, 1L); ++round) failed += slowPing(pipe) ? 0 : 1;
            ++done;
        }).detach();
    }
    // An attack nobody stops (its test died) ends by itself after ten minutes.
    const auto end = Clock::now() + std::chrono::minutes(10);
    while (done < count && Clock::now() < end) std::this_thread::sleep_for(milliseconds(50));
    std::fflush(stdout);
    std::_Exit(done < count || failed > 0 ? 1 : 0);  // the clients' threads may still be running
}
