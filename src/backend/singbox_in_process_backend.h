#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "backend/engine_api.h"
#include "backend/singbox_backend.h"
#include "platform/dynamic_library.h"

namespace velmora::vpn {

// The engine library, "sing-box.dll" on Windows ("libsing-box.so" elsewhere).
inline std::string engineLibraryFileName() { return platform::sharedLibraryFileName("sing-box"); }

// What the in-process backend loads and how long it waits for an instance to
// come up. The defaults are the product's; tests load other libraries and
// shorten the wait.
struct BackendSettings {
    std::string libraryFileName = engineLibraryFileName();
    std::int32_t startWaitMilliseconds = 15000;
};

// Runs sing-box engine instances inside this process through the engine
// library, one run thread per instance. Writes no log lines: its callers log
// the outcomes.
class SingBoxInProcessBackend final : public SingBoxBackend {
public:
    // Loads the engine library and resolves its five exports; throws
    // std::runtime_error when the library or an export is missing.
    SingBoxInProcessBackend();
    explicit SingBoxInProcessBackend(BackendSettings settings);
    // Stops every instance, waits for their run threads and frees the library.
    ~SingBoxInProcessBackend() override;

    SingBoxInProcessBackend(const SingBoxInProcessBackend&) = delete;
    SingBoxInProcessBackend& operator=(const SingBoxInProcessBackend&) = delete;

    StartResult startInstance(const std::string& config) override;
    StopResult stopInstance(std::int32_t instanceId) override;
    StopResult stopAllInstances() override;

private:
    // The engine's exports: all five set, or none.
    struct SingBoxApi {
        engine::CreateSingBoxInstanceFn CreateSingBoxInstance = nullptr;
        engine::RunSingBoxInstanceFn RunSingBoxInstance = nullptr;
        engine::WaitSingBoxInstanceStartedFn WaitSingBoxInstanceStarted = nullptr;
        engine::StopSingBoxInstanceFn StopSingBoxInstance = nullptr;
        engine::StopAllSingBoxInstancesFn StopAllSingBoxInstances = nullptr;
    };

    void loadEngineLibrary();
    void unloadEngineLibrary() noexcept;
    StopResult stopAllRegistered();

    BackendSettings settings_;
    platform::DynamicLibrary library_;
    SingBoxApi api_;
    std::mutex tableMutex_;                          // guards instances_
    std::map<std::int32_t, std::thread> instances_;  // instance id -> its run thread
};

}  // namespace velmora::vpn
