#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "backend/singbox_backend.h"
#include "support/wait_until.h"

namespace velmora::vpn::testing {

// A backend whose calls tests expect and script with gmock. Unless told
// otherwise, starts succeed with ids 0, 1, 2, ... and stops succeed.
class MockBackend : public SingBoxBackend {
public:
    MockBackend() {
        ON_CALL(*this, startInstance).WillByDefault([this](const std::string&) {
            return StartResult{true, nextId_++, {}};
        });
        ON_CALL(*this, stopInstance).WillByDefault(::testing::Return(StopResult{true, {}}));
        ON_CALL(*this, stopAllInstances).WillByDefault(::testing::Return(StopResult{true, {}}));
    }
    MOCK_METHOD(StartResult, startInstance, (const std::string& config), (override));
    MOCK_METHOD(StopResult, stopInstance, (std::int32_t instanceId), (override));
    MOCK_METHOD(StopResult, stopAllInstances, (), (override));

    // Any call at all fails the test.
    void expectNoCalls() {
        EXPECT_CALL(*this, startInstance).Times(0);
        EXPECT_CALL(*this, stopInstance).Times(0);
        EXPECT_CALL(*this, stopAllInstances).Times(0);
    }

private:
    std::atomic<std::int32_t> nextId_{0};
};
using FakeBackend = ::testing::NiceMock<MockBackend>;

// Collects the lines a log callback receives.
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
    // Waits until a line holding `text` has come (or, when `whole`, a line that is `text`).
    bool shows(const std::string& text, bool whole = false) const {
        return waitUntil([&] {
            const auto all = lines();
            return std::any_of(all.begin(), all.end(), [&](const std::string& line) {
                return whole ? line == text : line.find(text) != std::string::npos;
            });
        });
    }

private:
    mutable std::mutex mutex_;  // guards lines_
    std::vector<std::string> lines_;
};

}  // namespace velmora::vpn::testing
