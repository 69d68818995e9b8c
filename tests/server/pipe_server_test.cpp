#include "support/prelude.h"

#include <limits>

#include "platform/caller_identity.h"
#include "platform/pipe_endpoint.h"
#include "server/line_limiter.h"
#include "server/repeating_failure.h"

namespace velmora::vpn {
namespace {

constexpr auto kTimeout = milliseconds(5000);
const std::string kPing = R"({"command":"ping"})";
const std::string kPong = testing::okAnswer(R"({"status":"ok"})");

bool connect(ClientConnection& connection, const std::wstring& pipe) {
    std::string error;
    const bool connected = connection.connect(pipe, kTimeout, error);
    connection.limitIo(kTimeout);
    return connected;
}

bool answered(ClientConnection& connection, const std::string& request, std::string& response) {
    std::string error;
    return writeMessage(connection.handle(), request.data(), request.size(), error) &&
           readMessage(connection.handle(), response, error);
}

class PipeServer : public ::testing::Test {
protected:
    testing::FakeBackend backend;
    testing::LogRecorder logs;
};

// One frame is answered once, as if the bytes after it were not there, and a
// second request on the same connection never is. (Frames arriving in pieces
// are the slow writers' of the limits suite.)
TEST_F(PipeServer, AnswersOneFrameAndNothingAfterIt) {
    testing::RunningServer running(backend, logs.callback());
    ClientConnection connection;
    ASSERT_TRUE(connect(connection, running.pipeName()));
    const std::string one = std::string{static_cast<char>(kPing.size()), 0, 0, 0} + kPing;  // its length, then itself
    const std::string twice = one + one;
    std::string response, error;
    ASSERT_TRUE(writeExact(connection.handle(), twice.data(), twice.size(), error)) << error;
    EXPECT_TRUE(readMessage(connection.handle(), response, error)) << error;
    EXPECT_EQ(response, kPong);
    // The server has closed its side: a read ends (a Windows pipe's as a failed call). Once it has stopped,
    // a write fails as a failed call too (never as a SIGPIPE that would end this process).
    const bool windows = testing::programFileName("x") != "x";
    EXPECT_FALSE(readMessage(connection.handle(), response, error));
    EXPECT_THAT(error, ::testing::StartsWith(windows ? "ReadFile failed. " : "Pipe closed while reading message"));
    running.stop();
    EXPECT_FALSE(writeExact(connection.handle(), one.data(), one.size(), error));
    EXPECT_THAT(error, ::testing::StartsWith(windows ? "WriteFile failed. " : "send failed. error 32: Broken pipe"));
}

// A large request that finds no place until its deadline gets no answer,
// and the log says why: no place, not a slow client.
TEST_F(PipeServer, ALargeRequestWithoutAPlaceSaysSo) {
    PipeServerSettings settings = testing::fastSettings();
    settings.maxLargeRequests = 0;
    settings.requestDeadline = milliseconds(300);
    testing::RunningServer running(backend, logs.callback(), settings);
    EXPECT_EQ(sendRequest(running.pipeName(), kPing, kTimeout).response, kPong);  // took no place, gives none back
    const std::string large = R"({"command":"ping","x":")" + std::string(70000, 'x') + R"("})";
    EXPECT_FALSE(sendRequest(running.pipeName(), large, kTimeout).delivered);
    EXPECT_TRUE(logs.shows("Too many large requests at once", true));
    EXPECT_THAT(logs.lines(), Not(Contains(HasSubstr("Client sent no complete request"))));
}

// A client thread that cannot be started costs only its connection, and is
// counted out at once: the stop that follows waits for nobody.
TEST_F(PipeServer, AClientThreadThatCannotStartCostsOnlyItsConnection) {
    PipeServerSettings settings = testing::fastSettings();
    settings.clientStackBytes = std::numeric_limits<std::size_t>::max() / 2;  // more than any address space
    testing::RunningServer failing(backend, logs.callback(), settings);
    ClientConnection refused;
    ASSERT_TRUE(connect(refused, failing.pipeName()));
    const std::string call = testing::programFileName("x") == "x" ? "pthread_create" : "CreateThread";
    EXPECT_TRUE(logs.shows("Client thread could not be started: " + call + ": "));
    failing.stop();
    EXPECT_THAT(logs.lines(), Not(Contains(HasSubstr("Timed out waiting"))));
    EXPECT_EQ(logs.lines().back(), "Named pipe server stopped");
}

// Lines about single connections (and, alike, about instances): at most the limit in a second, the rest
// summed up once the second is over, and a quiet second starts afresh.
TEST(LimitedLines, AtMostTheLimitASecondAndTheRestSummedUp) {
    LineLimiter limiter(2, "single connections");
    const auto start = LineLimiter::Clock::now();
    const auto summary = [](int count) {
        return std::to_string(count) + " more lines about single connections left out in the last second";
    };
    Lines logged;
    for (const int at : {0, 1, 2, 999, 1000, 1001, 1002})
        for (const std::string& line : limiter.admit("line " + std::to_string(at), start + milliseconds(at)))
            logged.push_back(line);
    EXPECT_EQ(logged, (Lines{"line 0", "line 1", summary(2), "line 1000", "line 1001"}));
    EXPECT_TRUE(limiter.flush(start + milliseconds(1999)).empty());
    EXPECT_EQ(limiter.flush(start + milliseconds(2000)), Lines{summary(1)});

    // Each user's lines have a limit of their own: one user's flood hides nobody else's.
    UserLineLimiters users(1, "instances");
    EXPECT_EQ(users.admit("uid 1", "a", start), Lines{"a"});
    EXPECT_TRUE(users.admit("uid 1", "b", start).empty());
    EXPECT_EQ(users.admit("uid 2", "c", start), Lines{"c"});
    EXPECT_EQ(users.flush(start + milliseconds(1000)),
              Lines{"1 more lines about instances of uid 1 left out in the last second"});

    // Bytes too, each line with its stamp and line break: a user's lines stop at its own budget, all users' at
    // theirs, and a new second has room; beyond four users, the others' lines are summed up together.
    const std::size_t overhead = UserLineLimiters::kLineOverhead;
    UserLineLimiters bytes(100, "instances", 10 + overhead, 15 + 2 * overhead);
    EXPECT_EQ(bytes.admit("uid 1", "0123456789", start), Lines{"0123456789"});
    EXPECT_TRUE(bytes.admit("uid 1", "", start).empty());
    EXPECT_EQ(bytes.admit("uid 2", "01234", start), Lines{"01234"});
    EXPECT_TRUE(bytes.admit("uid 3", "", start).empty());
    EXPECT_EQ(bytes.admit("uid 3", "x", start + milliseconds(1000)), Lines{"x"});
    EXPECT_EQ(bytes.admit("uid 1", "0123456789", start + milliseconds(1000)), Lines{"0123456789"});
    for (const char* user : {"uid 4", "uid 5", "uid 6", "uid 7"}) bytes.admit(user, std::string(20, 'y'), start);
    EXPECT_EQ(bytes.flush(start + milliseconds(1000)),
              (Lines{"1 more lines about instances of uid 1 left out in the last second",
                     "1 more lines about instances of uid 3 left out in the last second",
                     "1 more lines about instances of uid 4 left out in the last second",
                     "1 more lines about instances of uid 5 left out in the last second",
                     "2 more lines about instances of 2 more users left out in the last second"}));

    // What a caller chose is cut to its first bytes, never inside a character, and says how long it was.
    EXPECT_EQ(cutForLog(std::string(200, 'k'), 200), std::string(200, 'k'));
    EXPECT_EQ(cutForLog(std::string(201, 'k'), 200), std::string(200, 'k') + "... [cut, 201 bytes in all]");
    std::string accented = "x";
    for (int i = 0; i < 150; ++i) accented += "\u00e9";
    EXPECT_EQ(cutForLog(accented, 200), accented.substr(0, 199) + "... [cut, 301 bytes in all]");
}

// A failure met on every try is said when it starts and when its text
// changes, summed up once its interval has passed while it lasts, and said
// to be over once a try works.
TEST(LimitedLines, ARepeatingFailureIsSaidOnceSummedUpAndEnded) {
    RepeatingFailure failure("Creating the pipe endpoint", milliseconds(1000));
    const auto start = RepeatingFailure::Clock::now();
    Lines logged;
    const auto fail = [&](const std::string& text, int at) {
        for (const std::string& line : failure.failed(text, start + milliseconds(at))) logged.push_back(line);
    };
    EXPECT_TRUE(failure.succeeded().empty());
    for (const int at : {0, 500, 999, 1000, 1500}) fail("bind failed", at);
    fail("listen failed", 1600);
    for (std::string& line : failure.succeeded()) logged.push_back(line);
    EXPECT_TRUE(failure.succeeded().empty());
    EXPECT_EQ(logged, (Lines{"bind failed", "Creating the pipe endpoint failed 3 more times: bind failed",
                             "Creating the pipe endpoint failed 1 more time: bind failed", "listen failed",
                             "Creating the pipe endpoint works again after 6 failures"}));
}

// Connections: a user's last one within its share is admitted and the next
// refused, ordinary users together stop at theirs, privileged callers always
// come in, and a connection counted out frees a place in the total.
// Large requests: an ordinary user holds one place at a time, ordinary users
// leave the last place to privileged callers, and a place given back is free.
TEST(ClientShares, OrdinaryUsersHoldTheirSharesAndLeaveTheRestToPrivilegedCallers) {
    ClientBook book;
    const platform::CallerIdentity one{"uid 1", false, {}}, two{"uid 2", false, {}}, root{"uid 0", true, {}};
    using Admission = ClientBook::Admission;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(book.countIn(one, 3, 5), Admission::admitted);
    EXPECT_EQ(book.countIn(one, 3, 5), Admission::userShareTaken);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(book.countIn(two, 3, 5), Admission::admitted);
    EXPECT_EQ(book.countIn(two, 3, 5), Admission::ordinaryShareTaken);
    EXPECT_EQ(book.countIn(root, 3, 5), Admission::admitted);
    book.countOut(one);
    EXPECT_EQ(book.countIn(two, 3, 5), Admission::admitted);
    EXPECT_EQ(book.countIn(one, 3, 5), Admission::ordinaryShareTaken);

    const auto soon = [] { return std::chrono::steady_clock::now() + milliseconds(20); };
    EXPECT_TRUE(book.takeLargeRequest(one, 3, soon()));
    EXPECT_FALSE(book.takeLargeRequest(one, 3, soon()));  // its one place is taken
    EXPECT_TRUE(book.takeLargeRequest(two, 3, soon()));
    EXPECT_FALSE(book.takeLargeRequest(platform::CallerIdentity{"uid 3", false, {}}, 3, soon()));  // the last is root's
    EXPECT_TRUE(book.takeLargeRequest(root, 3, soon()));
    EXPECT_FALSE(book.takeLargeRequest(root, 3, soon()));
    book.giveLargeRequest(one);
    EXPECT_FALSE(book.takeLargeRequest(one, 3, soon()));  // the free place is the last one
    book.giveLargeRequest(root);
    EXPECT_TRUE(book.takeLargeRequest(one, 3, soon()));
}

// Client threads run on small fixed stacks: the deepest request the parser
// accepts (32 levels) in the largest frame (16 MiB) must still fit, and its
// configuration reaches the backend whole.
TEST_F(PipeServer, TheDeepestAndLargestRequestIsServedOnAClientThreadsSmallStack) {
    testing::RunningServer running(backend, logs.callback());
    const std::string id = std::string(31, '[') + "7" + std::string(31, ']');  // inside the request: 32 levels
    std::string request = R"({"command":"start","requestId":)" + id + R"(,"payload":{"config":")";
    const std::string config(16 * 1024 * 1024 - request.size() - 3, 'x');
    request += config + "\"}}";
    EXPECT_CALL(backend, startInstance(config));
    EXPECT_EQ(sendRequest(running.pipeName(), request, kTimeout).response,
              R"({"version":1,"requestId":)" + id + R"(,"ok":true,"payload":{"instanceId":0}})");
}

// A stop closes the endpoint at once, while run still waits for clients that
// stay silent (a stop raised before run: the runtime's tests). Run gives up
// on them after the client wait; the server and the backend are destroyed,
// and each client's thread, once its client finally speaks, answers nothing,
// starts nothing and touches nothing freed (AddressSanitizer would report it).
TEST(PipeServerShutdown, ClosesTheEndpointAtOnceAndLateClientsTouchNothing) {
    auto backend = std::make_unique<testing::FakeBackend>();
    backend->expectNoCalls();
    auto logs = std::make_unique<testing::LogRecorder>();
    const testing::LogRecorder* logView = logs.get();
    PipeServerSettings settings = testing::fastSettings();
    settings.clientWaitLimit = milliseconds(1000);
    auto running = std::make_unique<testing::RunningServer>(*backend, logs->callback(), settings);
    const std::wstring pipe = running->pipeName();
    ClientConnection silent[2];
    for (auto& client : silent) ASSERT_TRUE(connect(client, pipe));
    // Connections are accepted in order: once a later one is answered, the
    // silent ones have been handed to their threads.
    ASSERT_EQ(sendRequest(pipe, kPing, kTimeout).response, kPong);

    auto stopped = std::async(std::launch::async, [&] { running->stop(); });
    EXPECT_TRUE(testing::waitUntil([&] { return !sendRequest(pipe, kPing, milliseconds(0)).delivered; }));
    EXPECT_EQ(stopped.wait_for(milliseconds(0)), std::future_status::timeout);
    stopped.get();
    EXPECT_THAT(logView->lines(), ::testing::Contains("Timed out waiting for 2 client thread(s)"));
    EXPECT_EQ(logView->lines().back(), "Named pipe server stopped");
    // Run has returned, the server still exists: a late start is neither
    // answered nor passed to the backend.
    const std::string start = R"({"command":"start","payload":{"config":"c"}})";
    std::string response;
    EXPECT_FALSE(answered(silent[0], start, response));
    // Now the server and the backend are gone, and the last client speaks.
    running.reset();
    backend.reset();
    logs.reset();
    EXPECT_FALSE(answered(silent[1], start, response));
}

// A client of the service's own user is privileged, looked up either way:
// through its process when it connects, through the request it sent.
TEST(CallerIdentity, AClientOfTheServicesOwnUserIsPrivileged) {
    const std::wstring name = testing::uniquePipeName();
    platform::PipeListener listener(name);
    platform::SystemError failure;
    ASSERT_TRUE(listener.createInstance(failure)) << platform::failureText(failure);
    std::string error;
    ClientConnection client;
    auto connected = std::async(std::launch::async, [&] { return client.connect(name, milliseconds(5000), error); });
    platform::OwnedHandle owned;
    ASSERT_TRUE(testing::waitUntil(
        [&] { return listener.poll(milliseconds(5), owned, failure) == platform::PollOutcome::connected; }));
    ASSERT_TRUE(connected.get()) << error;
    platform::PipeConnection connection(std::move(owned));
    connection.makeBlocking();
    const platform::NativeHandle accepted = connection.handle();
    std::string request;
    ASSERT_TRUE(writeMessage(client.handle(), "{}", 2, error) && readMessage(accepted, request, error)) << error;
    const auto connecting = platform::connectingCaller(accepted, failure);
    ASSERT_TRUE(connecting) << platform::failureText(failure);
    for (const auto& caller : {connecting, platform::requestingCaller(accepted, *connecting, failure)}) {
        ASSERT_TRUE(caller) << platform::failureText(failure);
        EXPECT_TRUE(caller->privileged);
        EXPECT_THAT(caller->user, ::testing::AnyOf(::testing::StartsWith("uid "), ::testing::StartsWith("S-1-5-")));
    }
}

}  // namespace
}  // namespace velmora::vpn
