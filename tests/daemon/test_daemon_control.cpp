// The daemon program on a private socket and state root, driven as control apps drive it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "DaemonTestSupport.h"
#include "daemon/KLTDaemonManager.h"
#include "daemon/PWControlProtocol.h"
#include "platform/NotifyBus.h"
#include "platform/Paths.h"
#include "foundation/IPCMalformedFrames.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using test::command;
using test::DaemonProcess;
using test::TestControlApp;
using namespace std::chrono_literals;

std::set<std::string> keysOf(const Dictionary& d) {
    std::set<std::string> keys;
    for (const auto& [key, value] : d) keys.insert(key);
    return keys;
}

const Dictionary kAuthorization{{"authorization", Value(Bytes(32, 7))}};

TEST(DaemonControl, CheckInReportsVersionsAndSignInStateWithTheirTypes) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    auto reply = app.request(command(1, {{"controlapp_bundlepath", Value("/opt/controlapp")}, {"turnonAX", Value(true)}}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->find("sharingEnabled")->asBool(), false);
    ASSERT_TRUE(reply->find("version") && reply->find("version")->isString());
    ASSERT_TRUE(reply->find("revision") && reply->find("revision")->isString());
    ASSERT_TRUE(reply->find("buildDate") && reply->find("buildDate")->isDouble());
    EXPECT_GT(*reply->find("buildDate")->asDouble(), 0.0) << "seconds since 2001 of a recent build";
    EXPECT_EQ(*reply->find("tunnexVersion")->asString(), "3.0.0");
    ASSERT_TRUE(reply->find("registrarState")->isUInt());
    EXPECT_EQ(reply->find("registrarState")->asUInt(), 0u);
    EXPECT_TRUE(daemon.waitForLog("ControlApp told us it's bundle path is: /opt/controlapp"));
    EXPECT_TRUE(daemon.waitForLog("Tunnex reported version 3.0.0"));
}

// Every request number, answered or not, and the keys of its reply.
TEST(DaemonControl, EveryRowOfTheCommandTableIsAnsweredAsTheTableSays) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    // The simulated connection request's notification, watched in the daemon's system folders.
    std::atomic<int> connectionRequests{0};
    paths::setRoot(daemon.root());
    NotifyBus::Observer observer(kPWConnectionRequestNotification, NotifyBus::Scope::System,
                                 [](Task task) { task(); }, [&] { ++connectionRequests; });
    paths::setRoot({});
    TestControlApp app;
    std::vector<uint64_t> numbers;
    for (uint64_t n = 0; n <= kPWHighestControlAppToDaemonCommand + 1; ++n) numbers.push_back(n);
    numbers.push_back(1000);
    size_t notHandled = 0;
    for (uint64_t n : numbers) {
        SCOPED_TRACE("command " + std::to_string(n));
        const PWControlCommandRow& row = controlCommandRow(n);
        if (row.dispatchLog == "COMMAND: default, not handled") ++notHandled;
        Dictionary message = command(n);
        if (n == 11 || n == 12) message = command(n, kAuthorization);
        if (row.reply == PWReplyKind::Always) {
            auto reply = app.request(message);
            ASSERT_TRUE(reply) << "no reply";
            std::set<std::string> keys = keysOf(*reply);
            for (auto key : row.replyKeys) EXPECT_TRUE(keys.erase(std::string(key))) << "missing " << key;
            for (auto key : row.optionalReplyKeys) keys.erase(std::string(key));
            EXPECT_TRUE(keys.empty()) << "unexpected key " << (keys.empty() ? "" : *keys.begin());
        } else {
            // Unanswered (or, for the conditional rows, missing the keys they need): the next
            // request's reply is the next reply to arrive.
            app.requestAsync(message);
            auto probe = app.request(command(14));
            ASSERT_TRUE(probe);
            EXPECT_EQ(keysOf(*probe), std::set<std::string>{"registrarState"});
        }
    }
    // The conditional rows with their keys: 29 and 30 answer with an empty reply, 28 without a
    // published port does not answer.
    EXPECT_EQ(app.request(command(29, {{"uuid", Value("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0")}})), Dictionary{});
    EXPECT_EQ(app.request(command(30, {{"uuid", Value("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0")}})), Dictionary{});
    app.requestAsync(command(28, {{"uuid", Value("x")}, {"serviceType", Value("_ssh._tcp")}, {"username", Value("")}}));
    EXPECT_EQ(keysOf(*app.request(command(14))), std::set<std::string>{"registrarState"});

    // A message without "command", and one whose "command" has the wrong type, read as 0.
    app.requestAsync(Dictionary{{"other", Value(1)}});
    app.requestAsync(Dictionary{{"command", Value("14")}});
    EXPECT_EQ(keysOf(*app.request(command(14))), std::set<std::string>{"registrarState"});

    EXPECT_TRUE(daemon.waitForLog("ePWControlAppToDaemonCommandRequestHostUpdate received"));
    EXPECT_EQ(daemon.logCount("COMMAND: default, not handled"), notHandled);
    EXPECT_EQ(daemon.logCount("COMMAND: 0, Couldn't read from dict; ignore"), 3u);
    EXPECT_EQ(daemon.logCount("COMMAND: ePWControlAppToDaemonCommandDisconnect\n"), 1u);
    EXPECT_EQ(daemon.logCount("this isn't implemented, don't call this"), 1u);
    std::ifstream file(daemon.root() / "tmp/com.kelvaro.portweaver.service");
    std::string content;
    std::getline(file, content);
    EXPECT_EQ(content, "127.0.0.1:7001") << "request 13 writes the connection-request file";
    EXPECT_TRUE(test::waitFor([&] { return connectionRequests == 1; })) << "and then posts its notification";
}

TEST(DaemonControl, BroadcastsSkipTheSenderAndReachOnlyTheFirst128Connections) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    std::vector<std::unique_ptr<TestControlApp>> apps;
    for (int i = 0; i < 129; ++i) {
        apps.push_back(std::make_unique<TestControlApp>());
        ASSERT_TRUE(apps.back()->request(command(14))) << "connection " << i;  // registered in order
    }
    // Request 11 from the first: message 4 to every registered app but the sender.
    apps[0]->send(command(11, kAuthorization));
    for (int i = 1; i < 128; ++i) ASSERT_TRUE(apps[i]->waitForMessage(ePWDaemonToControlAppCommandQuit)) << i;
    EXPECT_TRUE(apps[128]->request(command(14))) << "the 129th is still served";
    EXPECT_FALSE(apps[0]->hasMessage(ePWDaemonToControlAppCommandQuit)) << "the sender is skipped";
    EXPECT_FALSE(apps[128]->hasMessage(ePWDaemonToControlAppCommandQuit)) << "the 129th gets no broadcasts";

    // A registered app leaving frees a slot for the next new connection, not for the 129th.
    apps[5].reset();
    ASSERT_TRUE(daemon.waitForLog("Connection count dropped to 128"));
    TestControlApp late;
    ASSERT_TRUE(late.request(command(14)));
    apps[0]->send(command(12, kAuthorization));
    EXPECT_TRUE(late.waitForMessage(ePWDaemonToControlAppCommandRestart));
    EXPECT_TRUE(apps[127]->waitForMessage(ePWDaemonToControlAppCommandRestart));
    EXPECT_TRUE(apps[128]->request(command(14)));
    EXPECT_FALSE(apps[128]->hasMessage(ePWDaemonToControlAppCommandRestart));

    // Without a well-formed authorization nothing is sent.
    apps[1]->send(command(11, {{"authorization", Value(Bytes(31, 7))}}));
    EXPECT_TRUE(apps[1]->request(command(14)));
    EXPECT_TRUE(daemon.waitForLog("Authorization missing or malformed"));
}

TEST(DaemonControl, AnAppLeavingKeepsTheOthersServedInOrder) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    auto a = std::make_unique<TestControlApp>(), b = std::make_unique<TestControlApp>(),
         c = std::make_unique<TestControlApp>();
    for (auto* app : {a.get(), b.get(), c.get()}) ASSERT_TRUE(app->request(command(14)));
    b.reset();
    ASSERT_TRUE(daemon.waitForLog("Connection count dropped to"));
    a->send(command(11, kAuthorization));
    EXPECT_TRUE(c->waitForMessage(ePWDaemonToControlAppCommandQuit));
    c->send(command(12, kAuthorization));
    EXPECT_TRUE(a->waitForMessage(ePWDaemonToControlAppCommandRestart));
    EXPECT_FALSE(a->hasMessage(ePWDaemonToControlAppCommandQuit));
}

TEST(DaemonControl, AHandlerBlockedPastTheWatchdogEndsTheProcessWithSIGALRM) {
    DaemonProcess::Options options;
    options.environment = {{"KL_DAEMON_WATCHDOG_SECONDS", "1"}, {"KL_DAEMON_TEST_STALL_COMMAND", "20"}};
    DaemonProcess daemon(options);
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    app.requestAsync(command(20));
    auto status = daemon.waitForExit(15s);
    ASSERT_TRUE(status) << "still running";
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGALRM);
}

TEST(DaemonControl, ClientsThatDieOrSendGarbageLoseOnlyTheirOwnConnection) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp steady;
    ASSERT_TRUE(steady.request(command(14)));

    // A control client killed while its request is in flight.
    for (int i = 0; i < 5; ++i) {
        pid_t child = ::fork();
        if (child == 0) {
            ::execl(KL_CONTROL_CLIENT_PATH, "control-client", "--follow", "16", nullptr);
            ::_exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 * i));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }

    // A frame whose body is no dictionary, and an oversized one, each on a raw connection.
    for (const auto& bad : {ipc::test::frameAround(Bytes{4, 1, 0, 0, 0, 0, 0, 0, 0}),
                            ipc::test::rawHeader(ipc::kFrameMagic, ipc::kWireVersion, 1, 0, 0x7fffffff, 0)}) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, daemon.socketPath().c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::send(fd, bad.data(), bad.size(), MSG_NOSIGNAL), ssize_t(bad.size()));
        timeval wait{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char byte;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << "the daemon closes that connection";
        ::close(fd);
    }
    EXPECT_TRUE(steady.request(command(14)));
    EXPECT_FALSE(steady.invalid());
    TestControlApp fresh;
    EXPECT_TRUE(fresh.request(command(14)));
}

TEST(DaemonControl, TwoHundredClientsComingAndGoingLeaveNoDescriptorOrThreadBehind) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    { TestControlApp warm; ASSERT_TRUE(warm.request(command(1))); }
    ASSERT_TRUE(daemon.waitForLog("Connection count dropped to 0"));
    std::this_thread::sleep_for(300ms);  // the start-up probes' connections are gone too
    size_t fds = daemon.openDescriptors(), threads = daemon.threads();
    size_t drops = daemon.logCount("Connection count dropped to");
    for (int i = 0; i < 200; ++i) {
        TestControlApp app;
        ASSERT_TRUE(app.request(command(i % 2 ? 14 : 1))) << i;
    }
    EXPECT_TRUE(test::waitFor([&] { return daemon.logCount("Connection count dropped to") == drops + 200; }, 20s));
    std::string log = daemon.log();
    size_t lastOne = log.rfind("Connection count dropped to 1");
    EXPECT_TRUE(lastOne == std::string::npos || log.rfind("Connection count dropped to 0") > lastOne) << "all gone";
    EXPECT_TRUE(test::waitFor([&] { return daemon.openDescriptors() <= fds; }, 10s)) << daemon.openDescriptors() << " vs " << fds;
    EXPECT_TRUE(test::waitFor([&] { return daemon.threads() <= threads; }, 10s)) << daemon.threads() << " vs " << threads;
}

TEST(DaemonControl, SIGTERMEndsTheDaemonCleanlyAndASecondInstanceDoesNotStart) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    pid_t second = ::fork();
    if (second == 0) {
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        ::execl(KL_DAEMON_PATH, KL_DAEMON_PATH, nullptr);
        ::_exit(127);
    }
    int status = 0;
    ASSERT_TRUE(test::waitFor([&] { return ::waitpid(second, &status, WNOHANG) == second; }, 20s));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "a second daemon on the same socket gives up";

    auto exit = daemon.terminate();
    ASSERT_TRUE(exit);
    EXPECT_TRUE(WIFEXITED(*exit) && WEXITSTATUS(*exit) == 0);
    EXPECT_TRUE(daemon.waitForLog("Exiting (main)."));
}

TEST(DaemonControl, TakesTheSocketPassedBySocketActivation) {
    std::filesystem::path dir = test::makeTempDir("activation");
    ::setenv("KLIPC_SOCKET_DIR", dir.c_str(), 1);
    std::filesystem::path path = dir / kPWControlServiceName;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 16), 0);
    struct stat before{};
    ::stat(path.c_str(), &before);

    DaemonProcess::Options options;
    options.listenFd = fd;
    options.environment = {{"KLIPC_SOCKET_DIR", dir.string()}};
    DaemonProcess daemon(options);
    ::close(fd);
    ::setenv("KLIPC_SOCKET_DIR", dir.c_str(), 1);
    ASSERT_TRUE(daemon.waitUntilListening());
    struct stat after{};
    ::stat(path.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the daemon bound a socket of its own";
    EXPECT_EQ(daemon.logCount("removing stale socket"), 0u) << "the daemon did not take the passed socket";
}

}  // namespace
}  // namespace kl

namespace kl {
namespace {

// The output of a control-client run and its exit status.
std::pair<std::string, int> runControlClient(const std::string& arguments) {
    std::string commandLine = std::string("ASAN_OPTIONS=detect_leaks=0 ") + KL_CONTROL_CLIENT_PATH + " " + arguments;
    FILE* pipe = ::popen(commandLine.c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    int status = pipe ? ::pclose(pipe) : -1;
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(ControlClient, PrintsRepliesAndDaemonMessagesAsJsonLines) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    EXPECT_EQ(runControlClient("14"), std::make_pair(std::string("{\"reply\": {\"registrarState\":0}}\n"), 0));
    EXPECT_EQ(runControlClient("--timeout 1 3").second, 3) << "an unanswered request times out";
    EXPECT_EQ(runControlClient("14 bad-argument").second, 1);

    // A follower started by the client sees the restart message another app asks for.
    std::string commandLine = std::string("ASAN_OPTIONS=detect_leaks=0 timeout 5 ") + KL_CONTROL_CLIENT_PATH + " --follow 14";
    FILE* follower = ::popen(commandLine.c_str(), "r");
    ASSERT_TRUE(follower);
    char line[512];
    ASSERT_TRUE(std::fgets(line, sizeof line, follower));  // its own reply: it is registered now
    runControlClient("--no-reply 12 authorization:x=" + std::string(64, 'a'));
    ASSERT_TRUE(std::fgets(line, sizeof line, follower));
    EXPECT_EQ(std::string(line), "{\"message\": {\"command\":5}}\n");
    ::pclose(follower);
}

}  // namespace
}  // namespace kl
