#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "backend/singbox_backend.h"

namespace velmora::vpn::testing {

// A backend that records every call and answers from scripts. Without a
// script, starts succeed with ids 0, 1, 2, ... and stops succeed.
class FakeBackend : public SingBoxBackend {
public:
    StartResult startInstance(const std::string& config) override {
        std::function<StartResult(const std::string&)> script;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back("start " + config);
            if (!startScripts_.empty()) {
                script = std::move(startScripts_.front());
                startScripts_.pop_front();
            } else {
                return {true, nextId_++, {}};
            }
        }
        return script(config);
    }

    StopResult stopInstance(std::int32_t instanceId) override {
        std::function<StopResult()> script;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back("stop " + std::to_string(instanceId));
            if (stopScripts_.empty()) return {true, {}};
            script = std::move(stopScripts_.front());
            stopScripts_.pop_front();
        }
        return script();
    }

    StopResult stopAllInstances() override {
        std::function<StopResult()> script;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back("stopAll");
            if (stopAllScripts_.empty()) return {true, {}};
            script = std::move(stopAllScripts_.front());
            stopAllScripts_.pop_front();
        }
        return script();
    }

    void scriptStart(std::function<StartResult(const std::string&)> script) {
        std::lock_guard lock(mutex_);
        startScripts_.push_back(std::move(script));
    }
    void scriptStart(StartResult result) {
        scriptStart([result](const std::string&) { return result; });
    }
    void scriptStop(std::function<StopResult()> script) {
        std::lock_guard lock(mutex_);
        stopScripts_.push_back(std::move(script));
    }
    void scriptStop(StopResult result) {
        scriptStop([result] { return result; });
    }
    void scriptStopAll(std::function<StopResult()> script) {
        std::lock_guard lock(mutex_);
        stopAllScripts_.push_back(std::move(script));
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;  // guards every member below
    std::vector<std::string> calls_;
    std::deque<std::function<StartResult(const std::string&)>> startScripts_;
    std::deque<std::function<StopResult()>> stopScripts_;
    std::deque<std::function<StopResult()>> stopAllScripts_;
    std::int32_t nextId_ = 0;
};

// Collects log lines from any thread.
class LogRecorder {
public:
    std::function<void(const std::string&)> callback() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;  // guards lines_
    std::vector<std::string> lines_;
};

}  // namespace velmora::vpn::testing
