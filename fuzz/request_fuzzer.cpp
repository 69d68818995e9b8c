// Any bytes into request handling, against a backend whose answers the input
// itself scripts: exactly one well-formed JSON object must come back, with
// "version" first, and nothing may crash or leak. Inputs of odd length come
// from an ordinary caller, whose configurations pass the policy first: what
// reaches the engine for them is always a JSON object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <boost/json.hpp>

#include "server/singbox_named_pipe_server.h"

namespace {

using namespace velmora::vpn;

void fail(const char* why) {
    std::fprintf(stderr, "%s\n", why);
    std::abort();
}

// Answers depend on the first byte of the input, so the fuzzer reaches every
// success and failure branch of the handler.
class ScriptedBackend : public SingBoxBackend {
public:
    unsigned char script = 0;
    bool ordinary = false;
    StartResult startInstance(const std::string& config) override {
        boost::json::error_code error;
        if (ordinary && !boost::json::parse(config, error).is_object())
            fail("the engine got what the policy did not check");
        switch (script % 4) {
            case 0:
                return {true, static_cast<std::int32_t>(script), {}};
            case 1:
                return {false, -1, "CreateSingBoxInstance failed"};
            case 2:
                return {false, 3, {}};
            default:
                throw std::runtime_error("engine exploded");
        }
    }
    StopResult stopInstance(std::int32_t) override { return {script % 3 != 0, script % 2 ? "" : "refused"}; }
    StopResult stopAllInstances() override { return {script % 5 != 0, {}}; }
};

// The users' data folders of one run, removed when it ends.
struct DataFolder {
    std::string path;
    DataFolder() {
        char name[] = "/tmp/velmora-fuzz-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "/nonexistent";
    }
    ~DataFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

PipeServerSettings fuzzSettings() {
    static const DataFolder folder;
    PipeServerSettings settings;
    settings.policy.dataFolder = folder.path;
    settings.policy.descriptorsLeft = [] { return std::optional<std::size_t>(); };
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScriptedBackend backend;
    static SingBoxNamedPipeServer server(
        L"", backend, [](const std::string&) {}, fuzzSettings());
    static const platform::CallerIdentity root{"uid 0", true, {}};
    static const platform::CallerIdentity user{"uid 65534", false, {"gid 100"}};
    backend.script = size > 0 ? data[0] : 0;
    backend.ordinary = size % 2 == 1;

    const std::string response =
        server.handleRequest(std::string(reinterpret_cast<const char*>(data), size), backend.ordinary ? user : root);
    boost::json::error_code error;
    const boost::json::value parsed = boost::json::parse(response, error);
    if (error || !parsed.is_object()) fail("the response is not a JSON object");
    const boost::json::object& object = parsed.get_object();
    if (object.empty() || object.begin()->key() != "version" || object.begin()->value() != 1) {
        fail("\"version\": 1 is not the first member");
    }
    const boost::json::value* ok = object.if_contains("ok");
    if (ok == nullptr || !ok->is_bool()) fail("no \"ok\"");
    if (ok->get_bool() != object.contains("payload") || ok->get_bool() == object.contains("error")) {
        fail("\"payload\" and \"error\" do not match \"ok\"");
    }
    // Compact form: one line, no line break outside strings (inside them it is escaped).
    if (response.find('\n') != std::string::npos) fail("the response spans lines");
    server.unwatchAll();
    server.handleRequest(R"({"command":"stopAll"})", root);  // frees the user's share for the next input
    return 0;
}
