// The select thread and its result passes, driven through the registry with plain descriptors.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/KLTLogging.h"
#include "SockcoreTestSupport.h"
#include "support/TestEnvironment.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

struct Call {
    int fd;
    int event;
    bool lockHeld;
    uint64_t pass;
};

// What the shared callback does on each event of the test's descriptors.
struct Recorder {
    std::mutex mutex;
    std::vector<Call> calls;
    bool readOnEvent = true;
    bool forgetOnEvent = false;
    bool clearWishOnEvent = false;
    std::atomic<int> registerDuringPass{-1};  // a descriptor to register from inside the first call
    std::atomic<uint64_t> tokensBefore{0}, tokensAfter{0};
    std::atomic<bool> registeredDuringPass{false};  // set once both token counts are stored

    size_t count() {
        std::lock_guard<std::mutex> guard(mutex);
        return calls.size();
    }
    std::vector<Call> snapshot() {
        std::lock_guard<std::mutex> guard(mutex);
        return calls;
    }
};

Recorder* gRecorder = nullptr;

int recordingCallback(int fd, int event) {
    Recorder& r = *gRecorder;
    bool held = osxsel_write_lock_held();
    // Read before recording: a test that sends its next byte once the call is recorded must not
    // have it swallowed by this read.
    char buf[256];
    if (r.readOnEvent && event == SELECT_X) ::recv(fd, buf, sizeof buf, MSG_OOB | MSG_DONTWAIT);
    if (r.readOnEvent && event == SELECT_R) ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    {
        std::lock_guard<std::mutex> guard(r.mutex);
        r.calls.push_back(Call{fd, event, held, OSXSel::shared().passCount()});
    }
    if (r.registerDuringPass >= 0) {
        r.tokensBefore = OSXSel::shared().tokenCount();
        uxsel_set(r.registerDuringPass, SELECT_R, recordingCallback);
        r.tokensAfter = OSXSel::shared().tokenCount();
        r.registerDuringPass = -1;
        r.registeredDuringPass = true;
    }
    if (r.forgetOnEvent) uxsel_del(fd);
    if (r.clearWishOnEvent) uxsel_set(fd, 0, recordingCallback);
    return 0;
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds the process spends over a wall-clock interval.
double cpuOver(std::chrono::milliseconds interval) {
    double before = cpuSeconds();
    std::this_thread::sleep_for(interval);
    return cpuSeconds() - before;
}

// A connected loopback TCP pair of plain descriptors.
void tcpPair(int fds[2]) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    fds[0] = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(fds[0], reinterpret_cast<sockaddr*>(&addr), len), 0);
    fds[1] = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(fds[1], 0);
    ::close(listener);
}

class SockcoreSelect : public ::testing::Test {
protected:
    void SetUp() override {
        osxsel_init();
        gRecorder = &recorder;
    }
    void TearDown() override {
        for (int fd : owned) {
            test::underCoreLock([&] { return uxsel_del(fd); });
            ::close(fd);
        }
        // No pass may still use the recorder once the test's descriptors are forgotten.
        SocketCoreLock lock;
        gRecorder = nullptr;
    }
    void own(std::initializer_list<int> fds) { owned.insert(owned.end(), fds); }

    Recorder recorder;
    std::vector<int> owned;
};

TEST_F(SockcoreSelect, OneCallbackPerEventUnderTheLock) {
    int pair[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    own({pair[0], pair[1]});
    test::underCoreLock([&] { return uxsel_set(pair[0], SELECT_R, recordingCallback); });

    for (size_t i = 1; i <= 5; ++i) {
        ASSERT_EQ(::write(pair[1], "x", 1), 1);
        ASSERT_TRUE(test::waitFor([&] { return recorder.count() >= i; }));
    }
    std::this_thread::sleep_for(50ms);
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 5u) << "a drained descriptor is not reported again";
    for (const Call& c : calls) {
        EXPECT_EQ(c.fd, pair[0]);
        EXPECT_EQ(c.event, SELECT_R);
        EXPECT_TRUE(c.lockHeld) << "callbacks run under the core lock";
    }
}

TEST_F(SockcoreSelect, UrgentDataIsExceptionalBeforeReadableInOnePass) {
    int pair[2] = {-1, -1};
    tcpPair(pair);
    own({pair[0], pair[1]});
    ASSERT_EQ(::send(pair[0], "abc", 3, 0), 3);
    ASSERT_EQ(::send(pair[0], "!", 1, MSG_OOB), 1);
    pollfd pfd{pair[1], POLLPRI, 0};
    ASSERT_EQ(::poll(&pfd, 1, 10000), 1) << "the urgent byte arrives";

    test::underCoreLock([&] { return uxsel_set(pair[1], SELECT_R | SELECT_X, recordingCallback); });
    ASSERT_TRUE(test::waitFor([&] { return recorder.count() >= 2; }));
    auto calls = recorder.snapshot();
    EXPECT_EQ(calls[0].event, SELECT_X);
    EXPECT_EQ(calls[1].event, SELECT_R);
    EXPECT_EQ(calls[0].pass, calls[1].pass) << "both in one result pass";
}

TEST_F(SockcoreSelect, CallbackThatForgetsItsDescriptorGetsNoFurtherCall) {
    int pair[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    own({pair[0], pair[1]});
    ASSERT_EQ(::write(pair[1], "x", 1), 1);  // readable and writable at once
    recorder.readOnEvent = false;
    recorder.forgetOnEvent = true;

    test::underCoreLock([&] { return uxsel_set(pair[0], SELECT_R | SELECT_W, recordingCallback); });
    ASSERT_TRUE(test::waitFor([&] { return recorder.count() >= 1; }));
    std::this_thread::sleep_for(50ms);
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 1u) << "no writable call after the readable one forgot the descriptor";
    EXPECT_EQ(calls[0].event, SELECT_R);
}

TEST_F(SockcoreSelect, MaskZeroStopsEventsAndKeepsTheRegistration) {
    int pair[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    own({pair[0], pair[1]});
    recorder.readOnEvent = false;  // the data stays readable
    recorder.clearWishOnEvent = true;
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    test::underCoreLock([&] { return uxsel_set(pair[0], SELECT_R | SELECT_W | SELECT_X, recordingCallback); });
    ASSERT_TRUE(test::waitFor([&] { return recorder.count() >= 1; }));
    std::this_thread::sleep_for(50ms);
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 2u) << "readable and writable of the one pass that was already published";
    EXPECT_EQ(calls[0].event, SELECT_R);
    EXPECT_EQ(calls[1].event, SELECT_W);
    EXPECT_EQ(calls[0].pass, calls[1].pass) << "no later pass reports it";

    bool seen = false;
    int state, rwx = -1;
    for (int fd = test::underCoreLock([&] { return first_fd(&state, &rwx); }); fd >= 0; fd = test::underCoreLock([&] { return next_fd(&state, &rwx); })) {
        if (fd == pair[0]) {
            seen = true;
            EXPECT_EQ(rwx, 0);
        }
    }
    EXPECT_TRUE(seen) << "the registry walk still lists it";
}

TEST_F(SockcoreSelect, RegistrationWritesOneTokenAndNoneDuringAPass) {
    int a[2] = {-1, -1}, b[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    own({a[0], a[1], b[0], b[1]});

    uint64_t before = OSXSel::shared().tokenCount();
    test::underCoreLock([&] { return uxsel_set(a[0], SELECT_R, recordingCallback); });
    EXPECT_EQ(OSXSel::shared().tokenCount(), before + 1);
    test::underCoreLock([&] { return uxsel_set(a[0], SELECT_R, recordingCallback); });
    EXPECT_EQ(OSXSel::shared().tokenCount(), before + 1) << "an unchanged wish needs no new snapshot";

    recorder.registerDuringPass = b[0];
    ASSERT_EQ(::write(a[1], "x", 1), 1);
    // The call is recorded before the registration runs: wait for the registration itself.
    ASSERT_TRUE(test::waitFor([&] { return recorder.registeredDuringPass.load(); }));
    EXPECT_EQ(recorder.tokensAfter.load(), recorder.tokensBefore.load()) << "a registration inside a pass writes no token";

    // The pass's own final token makes the thread watch the descriptor registered during it.
    ASSERT_EQ(::write(b[1], "y", 1), 1);
    ASSERT_TRUE(test::waitFor([&] {
        for (const Call& c : recorder.snapshot()) {
            if (c.fd == b[0]) return true;
        }
        return false;
    }));
}

TEST_F(SockcoreSelect, WakingOnlyForThePipeDispatchesNoPass) {
    int pair[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    own({pair[0], pair[1]});
    OSXSel& sel = OSXSel::shared();
    test::underCoreLock([&] { return uxsel_set(pair[0], SELECT_R, recordingCallback); });
    ASSERT_TRUE(test::waitFor([&] { return sel.waitCount() >= 1; }));
    uint64_t passes = sel.passCount();
    uint64_t waits = sel.waitCount();

    test::underCoreLock([&] { return uxsel_set(pair[0], SELECT_R | SELECT_X, recordingCallback); });  // a changed wish wakes the thread
    ASSERT_TRUE(test::waitFor([&] { return sel.waitCount() > waits; }));
    EXPECT_EQ(sel.passCount(), passes);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(SockcoreSelect, DescriptorClosedWhileRegisteredDoesNotSpin) {
    int doomed[2] = {-1, -1}, other[2] = {-1, -1};
    ASSERT_EQ(::pipe(doomed), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);
    own({other[0], other[1]});
    clearMemoryLog();

    test::underCoreLock([&] { return uxsel_set(doomed[0], SELECT_R, recordingCallback); });
    ::close(doomed[0]);  // still registered
    ::close(doomed[1]);
    test::underCoreLock([&] { return uxsel_set(other[0], SELECT_R, recordingCallback); });  // the next snapshot meets the closed one
    ASSERT_TRUE(test::waitFor([] { return memoryLogContains("was closed while still registered"); }));

    auto wall = 400ms;
    double cpu = cpuOver(wall);
    EXPECT_LT(cpu, 0.5 * std::chrono::duration<double>(wall).count()) << "the select thread spins";
    EXPECT_EQ(recorder.count(), 0u) << "a closed descriptor's failure is not published as an event";

    ASSERT_EQ(::write(other[1], "x", 1), 1);
    ASSERT_TRUE(test::waitFor([&] { return recorder.count() >= 1; })) << "the other descriptors are still watched";
    test::underCoreLock([&] { return uxsel_del(doomed[0]); });
}

// The core forgets a descriptor and then closes it; the select thread may still be waiting on a
// snapshot that holds it. That order is the right one and must not be reported as a fault.
TEST_F(SockcoreSelect, DescriptorForgottenThenClosedDuringAWaitIsNoFault) {
    int other[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);
    own({other[0], other[1]});
    test::underCoreLock([&] { return uxsel_set(other[0], SELECT_R, recordingCallback); });
    clearMemoryLog();
    auto& sel = OSXSel::shared();
    for (int round = 0; round < 100; ++round) {
        int doomed[2] = {-1, -1};
        ASSERT_EQ(::pipe(doomed), 0);
        const uint64_t waits = sel.waitCount();
        test::underCoreLock([&] { return uxsel_set(doomed[0], SELECT_R, recordingCallback); });
        ASSERT_TRUE(test::waitFor([&] { return sel.waitCount() > waits; }));  // waiting with it
        test::underCoreLock([&] { return uxsel_del(doomed[0]); });
        ::close(doomed[0]);
        ::close(doomed[1]);
    }
    const size_t before = recorder.count();
    ASSERT_EQ(::write(other[1], "x", 1), 1);
    ASSERT_TRUE(test::waitFor([&] { return recorder.count() > before; })) << "the other descriptor is still watched";
    EXPECT_FALSE(memoryLogContains("was closed while still registered"));
}

}  // namespace
}  // namespace kl
