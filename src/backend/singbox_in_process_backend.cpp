#include "backend/singbox_in_process_backend.h"

#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace velmora::vpn {
namespace {

// Exports are looked up as plain addresses; going through a pointer to a
// function without parameters is the one cast between function types that
// no compiler warns about.
template <typename Function>
Function exportAs(const platform::DynamicLibrary& library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(library.symbol(name)));
}

}  // namespace

SingBoxInProcessBackend::SingBoxInProcessBackend() : SingBoxInProcessBackend(BackendSettings{}) {}

SingBoxInProcessBackend::SingBoxInProcessBackend(BackendSettings settings) : settings_(std::move(settings)) {
    loadEngineLibrary();
}

SingBoxInProcessBackend::~SingBoxInProcessBackend() {
    stopAllRegistered();
    unloadEngineLibrary();
}

void SingBoxInProcessBackend::loadEngineLibrary() {
    platform::SystemError failure;
    if (!library_.load(settings_.libraryFileName, failure)) {
        // "LoadLibraryA(sing-box.dll) failed. Windows error: 126"; where the
        // loader gives a reason instead of a code, "dlopen(...) failed: <reason>".
        const std::string what = std::string(failure.call) + "(" + settings_.libraryFileName + ") failed";
        throw std::runtime_error(failure.detail.empty()
                                     ? what + ". " + platform::systemErrorLabel() + ": " + std::to_string(failure.code)
                                     : what + ": " + failure.detail);
    }
    // All five are looked up before any is tested.
    SingBoxApi api;
    api.CreateSingBoxInstance = exportAs<engine::CreateSingBoxInstanceFn>(library_, engine::kCreateExport);
    api.RunSingBoxInstance = exportAs<engine::RunSingBoxInstanceFn>(library_, engine::kRunExport);
    api.WaitSingBoxInstanceStarted = exportAs<engine::WaitSingBoxInstanceStartedFn>(library_, engine::kWaitExport);
    api.StopSingBoxInstance = exportAs<engine::StopSingBoxInstanceFn>(library_, engine::kStopExport);
    api.StopAllSingBoxInstances = exportAs<engine::StopAllSingBoxInstancesFn>(library_, engine::kStopAllExport);
    if (api.CreateSingBoxInstance == nullptr || api.RunSingBoxInstance == nullptr ||
        api.WaitSingBoxInstanceStarted == nullptr || api.StopSingBoxInstance == nullptr ||
        api.StopAllSingBoxInstances == nullptr) {
        unloadEngineLibrary();
        throw std::runtime_error("SingBoxInProcessBackend: required sing-box exports are missing");
    }
    api_ = api;
}

void SingBoxInProcessBackend::unloadEngineLibrary() noexcept {
    library_.unload();
    api_ = SingBoxApi{};
}

StartResult SingBoxInProcessBackend::startInstance(const std::string& config) {
    // The engine gets a private, modifiable, NUL-terminated copy.
    std::vector<char> copy(config.begin(), config.end());
    copy.push_back('\0');
    const std::int32_t id = api_.CreateSingBoxInstance(copy.data());
    if (id < 0) return {false, id, "CreateSingBoxInstance failed"};

    std::optional<std::string> threadFailure;
    {
        std::lock_guard lock(tableMutex_);
        if (instances_.count(id) != 0) return {false, id, "Instance id already exists"};
        const auto run = api_.RunSingBoxInstance;
        // The run thread never touches the table: it only sits in the engine's run call.
        try {
            instances_.emplace(id, std::thread([run, id] { run(id); }));
        } catch (const std::system_error& error) {
            threadFailure = error.what();
        }
    }
    if (threadFailure) {
        // Out of threads or memory: the instance the engine created would
        // otherwise be left behind for good.
        api_.StopSingBoxInstance(id);
        return {false, id, "sing-box run thread could not be started: " + *threadFailure};
    }

    const std::int32_t state = api_.WaitSingBoxInstanceStarted(id, settings_.startWaitMilliseconds);
    if (state == 1) return {true, id, {}};
    if (state == 0) api_.StopSingBoxInstance(id);

    {
        // A stop-all may have taken the record meanwhile; then it has joined the thread.
        std::lock_guard lock(tableMutex_);
        const auto found = instances_.find(id);
        if (found != instances_.end()) {
            found->second.join();
            instances_.erase(found);
        }
    }
    return {false, id, "sing-box did not come up. State: " + std::to_string(state)};
}

StopResult SingBoxInProcessBackend::stopInstance(std::int32_t instanceId) {
    std::thread runThread;
    {
        std::lock_guard lock(tableMutex_);
        const auto found = instances_.find(instanceId);
        if (found == instances_.end()) return {true, {}};
        const std::int32_t result = api_.StopSingBoxInstance(instanceId);
        if (result != 0) return {false, "StopSingBoxInstance failed. Result: " + std::to_string(result)};
        runThread = std::move(found->second);
        instances_.erase(found);
    }
    runThread.join();
    return {true, {}};
}

StopResult SingBoxInProcessBackend::stopAllInstances() { return stopAllRegistered(); }

// Shared by stopAllInstances and the destructor, which must not make a virtual call.
//
// The table is taken before the engine is asked to stop everything, never
// after: every record taken then belongs to an instance the engine already
// knows, so the engine call reaches it and its run thread is sure to end. The
// other order would let a start register between the two steps; its record
// would be taken without its instance being stopped, and the wait for its run
// thread would never end. A start that registers after the table was taken
// stays registered: if the engine call reached it as well, its run thread has
// simply ended by itself, and a later stop or stop-all removes the record.
StopResult SingBoxInProcessBackend::stopAllRegistered() {
    std::map<std::int32_t, std::thread> stopped;
    {
        std::lock_guard lock(tableMutex_);
        stopped.swap(instances_);
    }
    api_.StopAllSingBoxInstances();
    for (auto& [id, runThread] : stopped) runThread.join();
    return {true, {}};
}

}  // namespace velmora::vpn
