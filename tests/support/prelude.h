#pragma once

// What the test files share: the frameworks, the standard headers they reach
// for, the tests' helpers, and the names they use without qualification.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "pipe_client.h"
#include "platform/text.h"
#include "protocol/pipe_framing.h"
#include "support/mock_backend.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/traffic.h"
#include "support/wait_until.h"

namespace velmora::vpn {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using ::testing::_;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::linesOf;
using testing::messagesOf;
using ::testing::Not;
using testing::Outcome;
using testing::ProgramRun;
using testing::Ran;
using ::testing::Return;
using velmora::client::ClientConnection;
using velmora::client::sendRequest;
using Lines = std::vector<std::string>;
using Owners = std::map<std::int32_t, std::uint32_t>;  // instance id to owner process

}  // namespace velmora::vpn
