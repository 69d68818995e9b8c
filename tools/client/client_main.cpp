// velmora-vpn-client: sends one request to the service and prints its answer.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>

#include <boost/json.hpp>

#include "pipe_client.h"
#include "platform/command_line.h"
#include "platform/owner_process.h"
#include "platform/text.h"
#include "protocol/constants.h"

namespace {

using velmora::vpn::platform::optionValue;
using velmora::vpn::platform::toUtf8;

constexpr int kOk = 0;
constexpr int kRefused = 1;
constexpr int kUnreachable = 2;

// The time-out it names is the one the client uses when given none.
std::string usage() {
    const std::string timeout = std::to_string(velmora::client::kDefaultTimeout.count());
    return "Usage:\n"
           "  velmora-vpn-client [options] ping\n"
           "  velmora-vpn-client [options] start --config <file|-> [--owner-pid <pid|self>] [--linger <ms>]\n"
           "  velmora-vpn-client [options] stop <instance-id>\n"
           "  velmora-vpn-client [options] stop-all\n"
           "  velmora-vpn-client [options] list\n"
           "  velmora-vpn-client [options] send <request-json>\n"
           "\n"
           "Options:\n"
           "  --pipe-name <name>    Pipe to use (default \\\\.\\pipe\\VelmoraVpnService).\n"
           "  --timeout <ms>        Longest wait for the service, and for its answer (default " +
           timeout +
           ").\n"
           "  --service-only        Send only to the installed service, never to a console run of\n"
           "                        your own user (which is accepted otherwise).\n"
           "An option's value may also follow it after '=' (--timeout=500), as the service's do.\n"
           "\n"
           "start --owner-pid self makes this client the instance's owner, and --linger keeps\n"
           "it alive that long after the answer: the service stops the instance about a\n"
           "second after the client has exited.\n"
           "\n"
           "Prints the service's response. Exit code: 0 when it says \"ok\", 1 when it\n"
           "refuses, 2 when it cannot be reached or the exchange fails.\n";
}

int usageError(const std::string& reason) {
    std::cerr << reason << "\n\n" << usage();
    return kUnreachable;
}

std::optional<std::string> readConfig(const std::wstring& source) {
    if (source == L"-") {
        std::ostringstream text;
        text << std::cin.rdbuf();
        return text.str();
    }
    std::ifstream file(std::filesystem::path(source), std::ios::binary);
    if (!file) return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::optional<unsigned long long> number(const std::wstring& text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    unsigned long long value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned long long>(c - L'0');
    }
    return value;
}

}  // namespace

int main() {
    std::vector<std::wstring> arguments = velmora::vpn::platform::commandLineArguments();
    if (!arguments.empty()) arguments.erase(arguments.begin());

    std::wstring pipeName = velmora::vpn::kDefaultPipeName;
    std::chrono::milliseconds timeout = velmora::client::kDefaultTimeout;
    velmora::client::ServerTrust trust;
    std::vector<std::wstring> words;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--help" || argument == L"-h") {
            std::cout << usage();
            return kOk;
        } else if (auto pipe = optionValue(arguments, i, L"--pipe-name")) {
            pipeName = *pipe;
        } else if (argument == L"--service-only") {
            trust.ownUser = false;
        } else if (auto limit = optionValue(arguments, i, L"--timeout")) {
            const auto value = number(*limit);
            if (!value) return usageError("--timeout needs a number of milliseconds");
            timeout = std::chrono::milliseconds(*value);
        } else {
            words.push_back(argument);
        }
    }
    if (words.empty()) return usageError("No command given");

    boost::json::object request;
    std::string requestText;
    std::chrono::milliseconds linger(0);
    const std::wstring& command = words[0];
    if (command == L"ping" && words.size() == 1) {
        request = {{"command", "ping"}};
    } else if (command == L"stop-all" && words.size() == 1) {
        request = {{"command", "stopAll"}};
    } else if (command == L"list" && words.size() == 1) {
        request = {{"command", "list"}};
    } else if (command == L"stop" && words.size() == 2) {
        const auto id = number(words[1]);
        if (!id || *id > 0x7FFFFFFF) return usageError("stop needs an instance id");
        request = {{"command", "stop"}, {"payload", {{"instanceId", *id}}}};
    } else if (command == L"start") {
        std::optional<std::wstring> configSource;
        boost::json::object payload;
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (auto config = optionValue(words, i, L"--config")) {
                configSource = *config;
            } else if (auto owner = optionValue(words, i, L"--owner-pid")) {
                const auto pid = *owner == L"self"
                                     ? std::optional<unsigned long long>(velmora::vpn::platform::currentProcessId())
                                     : number(*owner);
                if (!pid || *pid > 0xFFFFFFFF) return usageError("--owner-pid needs a process id or self");
                payload["ownerProcessId"] = *pid;
            } else if (auto lingering = optionValue(words, i, L"--linger")) {
                const auto milliseconds = number(*lingering);
                if (!milliseconds) return usageError("--linger needs a number of milliseconds");
                linger = std::chrono::milliseconds(*milliseconds);
            } else {
                return usageError("Unexpected argument to start: " + toUtf8(words[i]));
            }
        }
        if (!configSource) return usageError("start needs --config <file|->");
        const auto config = readConfig(*configSource);
        if (!config) {
            std::cerr << "Cannot read configuration file " << toUtf8(*configSource) << "\n";
            return kUnreachable;
        }
        payload["config"] = *config;
        request = {{"command", "start"}, {"payload", std::move(payload)}};
    } else if (command == L"send" && words.size() == 2) {
        // Sent as given, valid JSON or not: the tool for trying the service's answers.
        requestText = toUtf8(words[1]);
    } else {
        return usageError("Unknown command or wrong arguments: " + toUtf8(command));
    }

    if (requestText.empty()) requestText = boost::json::serialize(request);
    const velmora::client::Exchange exchange = velmora::client::sendRequest(pipeName, requestText, timeout, trust);
    if (!exchange.delivered) {
        std::cerr << exchange.error << "\n";
        return kUnreachable;
    }
    std::cout << exchange.response << std::endl;
    std::this_thread::sleep_for(linger);
    boost::json::error_code error;
    const boost::json::value response = boost::json::parse(exchange.response, error);
    if (error || !response.is_object()) {
        std::cerr << "The service's answer is not a JSON object\n";
        return kUnreachable;
    }
    const boost::json::value* ok = response.get_object().if_contains("ok");
    return ok != nullptr && ok->is_bool() && ok->get_bool() ? kOk : kRefused;
}
