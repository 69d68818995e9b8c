// Any bytes into request handling, against a backend whose answers the input
// itself scripts: exactly one well-formed JSON object must come back, with
// "version" first, and nothing may crash or leak.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <boost/json.hpp>

#include "windows/singbox_named_pipe_server.h"

namespace {

using namespace velmora::vpn;

// Answers depend on the first byte of the input, so the fuzzer reaches every
// success and failure branch of the handler.
class ScriptedBackend : public SingBoxBackend {
public:
    unsigned char script = 0;
    StartResult startInstance(const std::string&) override {
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

void fail(const char* why) {
    std::fprintf(stderr, "%s\n", why);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScriptedBackend backend;
    static SingBoxNamedPipeServer server(L"", backend, [](const std::string&) {});
    backend.script = size > 0 ? data[0] : 0;

    const std::string response = server.handleRequest(std::string(reinterpret_cast<const char*>(data), size));
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
    return 0;
}
