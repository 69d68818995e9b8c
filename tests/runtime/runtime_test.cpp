#include "support/prelude.h"

#include "runtime/runtime.h"

namespace velmora::vpn {
namespace {

// A stop raised before the run begins (a stop control right after the running
// report, an interrupt right after the handler was installed) ends the run
// instead of being forgotten.
TEST(Runtime, AStopRaisedBeforeTheRunBeginsEndsIt) {
    processOptions = ServiceOptions{};
    processOptions.pipeName = testing::uniquePipeName();
    stopRequested = true;
    auto run = std::async(std::launch::async, [] { return runServer(false); });
    const bool ended = run.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    stopRequested = true;  // releases a run that forgot the stop, so the test ends either way
    EXPECT_TRUE(ended);
    EXPECT_EQ(run.get(), 0u);
}

}  // namespace
}  // namespace velmora::vpn
