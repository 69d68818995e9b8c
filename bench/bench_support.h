#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "server/singbox_named_pipe_server.h"

// What the bench programs share, and the limit and pipe tests with them: the
// figures' line format, a backend that answers at once, and a pipe server
// running on a thread of its own.
namespace velmora::bench {

using Clock = std::chrono::steady_clock;

inline double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// One figure as "name value unit", the line format bench/run collects.
inline void report(const char* name, double value, const char* unit) {
    std::printf("%-28s %12.1f %s\n", name, value, unit);
}

// Time since `start` in the unit asked for, e.g. elapsed<std::micro>(start).
template <typename Unit>
double elapsed(Clock::time_point start) {
    return std::chrono::duration<double, Unit>(Clock::now() - start).count();
}

// A pipe name no earlier run has used, in the Windows form.
inline std::wstring freshPipeName(const std::string& what) {
    return L"\\\\.\\pipe\\velmora-bench-" + std::wstring(what.begin(), what.end()) + L"-" +
           std::to_wstring(Clock::now().time_since_epoch().count());
}

// Every instance starts and stops at once: the server's own cost alone.
class NullBackend : public vpn::SingBoxBackend {
public:
    vpn::StartResult startInstance(const std::string&) override { return {true, 1, {}}; }
    vpn::StopResult stopInstance(std::int32_t) override { return {true, {}}; }
    vpn::StopResult stopAllInstances() override { return {true, {}}; }
};

// A pipe server running `run` on a thread of its own, stopped and joined when
// the object goes.
class ServerOnThread {
public:
    ServerOnThread(std::wstring pipeName, vpn::SingBoxBackend& backend, vpn::SingBoxNamedPipeServer::LogCallback log,
                   vpn::PipeServerSettings settings = {})
        : server_(std::move(pipeName), backend, std::move(log), settings), thread_([this] { server_.run(stop_); }) {}
    ~ServerOnThread() { stop(); }
    ServerOnThread(const ServerOnThread&) = delete;
    ServerOnThread& operator=(const ServerOnThread&) = delete;

    // Raises the stop flag and waits for `run` to return.
    void stop() {
        stop_.exchange(true);
        if (thread_.joinable()) thread_.join();
    }
    const std::wstring& pipeName() const { return server_.pipeName(); }

private:
    std::atomic<bool> stop_{false};
    vpn::SingBoxNamedPipeServer server_;
    std::thread thread_;
};

// What a desktop client starts: a tunnel and a local proxy listening on
// `listen` port `mixedPort`; selector and urltest groups over VLESS through
// WebSocket (with headers only letter case tells apart, and one named like a
// path), Hysteria2, Shadowsocks and Trojan, and a WireGuard endpoint; DNS
// over HTTPS, fake IPs and the system's resolver with rules; route rules with
// actions, remote and inline rule sets; the cache file of its own profile and
// the controller on loopback port `controllerPort` with a secret. An ordinary
// caller may start it as it is.
inline std::string desktopConfiguration(std::uint16_t mixedPort, std::uint16_t controllerPort = 0,
                                        const std::string& listen = "127.0.0.1") {
    return R"({"log":{"level":"info","timestamp":true},)"
           R"("dns":{"servers":[{"type":"https","tag":"remote","server":"1.1.1.1","path":"/dns-query","detour":"proxy"},)"
           R"({"type":"local","tag":"local"},)"
           R"({"type":"fakeip","tag":"fake","inet4_range":"198.18.0.0/15","inet6_range":"fc00::/18"}],)"
           R"("rules":[{"rule_set":"ads","action":"reject"},{"query_type":["A","AAAA"],"server":"fake"},)"
           R"({"domain_suffix":[".lan"],"server":"local"}],"final":"remote","independent_cache":true},)"
           R"("inbounds":[{"type":"tun","tag":"tun-in","address":["172.19.0.1/30","fdfe:dcba:9876::1/126"],)"
           R"("auto_route":true,"strict_route":true,"stack":"mixed"},)"
           R"({"type":"mixed","tag":"mixed-in","listen":")" +
           listen + R"(","listen_port":)" + std::to_string(mixedPort) +
           R"(}],"endpoints":[{"type":"wireguard","tag":"wg","address":["10.13.0.2/32"],)"
           R"("private_key":"eCtXsJZ27+4PbhDkHnB923tkUn2Gj59wZw5wFA75MnU=","peers":[{"address":"198.51.100.5",)"
           R"("port":51820,"public_key":"Z1XXLsKYkYxuiYjJIkRvtIKFepCYHTgON+GwPq7SOV4=","allowed_ips":["0.0.0.0/0"]}]}],)"
           R"("outbounds":[{"type":"selector","tag":"proxy","outbounds":["auto","vless","hy2","ss","trojan","wg"],)"
           R"("default":"auto"},{"type":"urltest","tag":"auto","outbounds":["vless","hy2","ss","trojan"],)"
           R"("url":"https://www.gstatic.com/generate_204","interval":"3m"},)"
           R"({"type":"vless","tag":"vless","server":"198.51.100.1","server_port":443,)"
           R"("uuid":"bf000d23-0752-40b4-affe-68f7707a9661","tls":{"enabled":true,"server_name":"example.org",)"
           R"("utls":{"enabled":true,"fingerprint":"chrome"}},"transport":{"type":"ws","path":"/ws",)"
           R"("headers":{"Host":"cdn.example.org","host":"cdn.example.org","X-Original-Path":"/ws"}}},)"
           R"({"type":"hysteria2","tag":"hy2","server":"198.51.100.2","server_port":443,"password":"hy2-secret",)"
           R"("tls":{"enabled":true,"server_name":"example.org"}},)"
           R"({"type":"shadowsocks","tag":"ss","server":"198.51.100.3","server_port":8388,)"
           R"("method":"2022-blake3-aes-128-gcm","password":"8JCsPssfgS8tiRwiMlhARg==","multiplex":{"enabled":true}},)"
           R"({"type":"trojan","tag":"trojan","server":"198.51.100.4","server_port":443,"password":"trojan-secret",)"
           R"("tls":{"enabled":true,"server_name":"example.org"}},{"type":"direct","tag":"direct"}],)"
           R"("route":{"rules":[{"action":"sniff"},{"protocol":"dns","action":"hijack-dns"},)"
           R"({"ip_is_private":true,"outbound":"direct"},{"process_path":["/usr/bin/ssh"],"outbound":"direct"},)"
           R"({"rule_set":"ads","action":"reject"},{"rule_set":"lan","outbound":"direct"}],)"
           R"("rule_set":[{"type":"remote","tag":"ads","format":"binary","url":"https://rules.example/ads.srs",)"
           R"("download_detour":"proxy"},{"type":"inline","tag":"lan","rules":[{"ip_cidr":["192.168.0.0/16"]}]}],)"
           R"("final":"proxy","auto_detect_interface":true,"default_domain_resolver":"local"},)"
           R"("experimental":{"cache_file":{"enabled":true,"cache_id":"work"},)"
           R"("clash_api":{"external_controller":"127.0.0.1:)" +
           std::to_string(controllerPort) + R"(","secret":"s3cret"}}})";
}

}  // namespace velmora::bench
