// The account client in this process against the stand-in account server, on a clock the test
// moves: the throttled retries, the tick's host-list and presence requests, malformed host lists,
// and the token reply.
#include <gtest/gtest.h>

#include "AccountServer.h"
#include "DaemonTestSupport.h"
#include "daemon/PWRegistrar.h"
#include "foundation/KLTLogging.h"
#include "http/KLHTTPCookieStorage.h"
#include "http/KLNetworkRequestThread.h"
#include "support/TestEnvironment.h"
#include "tunnel/StandinProcess.h"
#include "tunnel/peer/TunnexPeer.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

constexpr const char* kEmail = "ada@example.com";
constexpr const char* kPassword = "correct horse";

struct RecordingReconciler : PWHostListReconciler {
    void updateRemoteServicesFromServer(const Array& hosts) override { updates.push_back(hosts); }
    std::vector<PWRemoteServiceRecord> remoteServiceRecords() const override { return {}; }
    void removeAllRemoteServices() override {}
    std::vector<Array> updates;
};

bool runUntil(const std::function<bool()>& predicate, Duration timeout = std::chrono::seconds(15)) {
    return mainLoop().runUntil(predicate, timeout);
}

size_t logCount(const std::string& text) {
    size_t n = 0;
    for (const auto& line : memoryLogLines()) n += line.find(text) != std::string::npos;
    return n;
}

class Registrar : public ::testing::Test {
protected:
    void SetUp() override {
        server.addUser(kEmail, kPassword);
        KLNetworkRequestThread::setCertificateAuthorityFile(server.caFile().string());
        clearMemoryLog();
    }
    void TearDown() override {
        if (registrar) registrar->stopPingingServer();
        registrar.reset();
        KLHTTPCookieStorage::sharedStorage().deleteAllCookies();
    }

    void make(const std::string& baseURL, std::shared_ptr<PWOfferedServicesSource> services = nullptr) {
        PWRegistrar::Options options;
        options.baseURL = baseURL;
        options.fallbackRendezvousServer = "127.0.0.1";
        options.clock = [this] { return now; };
        options.tickInterval = std::chrono::hours(1);  // the test fires the ticks
        options.secrets = std::make_shared<SecretStore>(test::makeTempDir("secrets"));
        options.reconciler = reconciler;
        options.offeredServices = std::move(services);
        registrar = PWRegistrar::create(std::move(options));
    }

    std::optional<PWRegistrarSignInResult> signIn(const std::string& password = kPassword) {
        std::optional<PWRegistrarSignInResult> result;
        registrar->signInWithEmail(kEmail, password, [&](PWRegistrarSignInResult r, const PWSignInFailure&) { result = r; });
        runUntil([&] { return result.has_value(); });
        return result;
    }

    size_t requestCount(const std::string& method, const std::string& path) {
        size_t n = 0;
        for (const auto& entry : server.requests())
            n += entry.stringOr("method", "") == method && entry.stringOr("path", "") == path;
        return n;
    }

    // One tick, then the main loop until the requests it started are answered.
    void tick() {
        size_t attempts = logCount("Internal sign in with email");
        registrar->remoteUpdateTimerFired();
        if (logCount("Internal sign in with email") > attempts)
            runUntil([&] { return logCount("Internal sign in failed") + logCount("Internal sign in succeeded") > attempts; });
        mainLoop().runUntil([] { return false; }, 50ms);
        now += 5;
    }

    test::AccountServer server;
    std::shared_ptr<RecordingReconciler> reconciler = std::make_shared<RecordingReconciler>();
    std::shared_ptr<PWRegistrar> registrar;
    double now = 10000;
};

TEST_F(Registrar, RetriesGoAtOnceThenWait180SecondsWhileTheServerIsDown) {
    make("https://127.0.0.1:" + std::to_string(test::closedLoopbackPort()) + "/api/v1/");

    EXPECT_EQ(signIn(), PWRegistrarSignInNetworkFailure);
    EXPECT_TRUE(registrar->hasSavedCredentials());
    double start = now;
    std::vector<double> attempts;
    for (int i = 0; i < 80; ++i) {
        size_t before = logCount("Internal sign in with email");
        double at = now;
        tick();
        if (logCount("Internal sign in with email") > before) attempts.push_back(at - start);
    }
    EXPECT_EQ(attempts, (std::vector<double>{0, 5, 10, 15, 195, 375}));
    EXPECT_TRUE(registrar->hasSavedCredentials()) << "a network failure keeps the credentials";
}

TEST_F(Registrar, TheTickFetchesHostsOnlyWhileAskedAndReportsPresenceEveryMinute) {
    make(server.baseURL());
    ASSERT_EQ(signIn(), PWRegistrarSignInSuccess);
    ASSERT_TRUE(runUntil([&] { return registrar->hostIDString().has_value() && requestCount("GET", "/api/v1/hosts/1/token"); }));
    std::string presence = "/api/v1/hosts/" + *registrar->hostIDString() + "/iamhere";

    for (int i = 0; i < 12; ++i) tick();  // one minute, host updates not asked for
    EXPECT_EQ(requestCount("GET", "/api/v1/hosts"), 0u);
    EXPECT_EQ(requestCount("POST", presence), 1u);

    registrar->setShouldRequestHostUpdates(true);
    for (int i = 0; i < 12; ++i) tick();  // one minute with host updates
    size_t fetched = requestCount("GET", "/api/v1/hosts");
    EXPECT_GE(fetched, 6u);
    EXPECT_LE(fetched, 12u);
    EXPECT_EQ(requestCount("POST", presence), 2u);
    EXPECT_EQ(reconciler->updates.size(), fetched);

    registrar->setShouldRequestHostUpdates(false);
    for (int i = 0; i < 4; ++i) tick();
    EXPECT_EQ(requestCount("GET", "/api/v1/hosts"), fetched);

    // One host-list request at a time.
    test::ScriptedReply slow;
    slow.path = "/api/v1/hosts";
    slow.body = "[]";
    slow.delaySeconds = 1;
    server.script(slow);
    registrar->performNextRemoteUpdate();
    registrar->performNextRemoteUpdate();
    ASSERT_TRUE(runUntil([&] { return reconciler->updates.size() == fetched + 1; }));
    mainLoop().runUntil([] { return false; }, 300ms);
    EXPECT_EQ(requestCount("GET", "/api/v1/hosts"), fetched + 1);
}

TEST_F(Registrar, MalformedHostListsChangeNothingAndAreLogged) {
    make(server.baseURL());
    ASSERT_EQ(signIn(), PWRegistrarSignInSuccess);
    struct Case {
        const char* body;
        const char* logLine;
        size_t records;  // records handed on, or 0 for none
    } cases[] = {
        {"{oops", "Malformed reply ignored", 0},
        {R"({"id": 1})", "Host list reply is not a list", 0},
        {R"([{"id": 1, "uuid": "A")", "Malformed reply ignored", 0},
        {R"([1, "two", null, {"id": 3, "uuid": "C"}])", "Skipping a host record", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        clearMemoryLog();
        size_t updates = reconciler->updates.size();
        test::ScriptedReply scripted;
        scripted.path = "/api/v1/hosts";
        scripted.body = c.body;
        server.script(scripted);
        registrar->performNextRemoteUpdate();
        ASSERT_TRUE(runUntil([&] { return logCount(c.logLine) > 0; }));
        EXPECT_EQ(registrar->signInState(), PWRegistrarSignedIn);
        if (c.records) {
            ASSERT_EQ(reconciler->updates.size(), updates + 1);
            EXPECT_EQ(reconciler->updates.back().size(), c.records);
        } else {
            EXPECT_EQ(reconciler->updates.size(), updates);
        }
    }
}

TEST_F(Registrar, TheTokenReplyGivesKeyHostAndPortAndAFailedOneStartsNoRegistration) {
    make(server.baseURL());
    struct Case {
        const char* tunnexHost;
        const char* host;
        const char* port;
    } cases[] = {
        {"rv.example:9301", "rv.example", "9301"},
        {"rv.example", "rv.example", ""},
        {"a:1:2", "a", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tunnexHost);
        test::ScriptedReply token;
        token.path = "/api/v1/hosts/1/token";
        token.body = std::string(R"({"tunnex_token":"AAEC_w","tunnex_host":")") + c.tunnexHost + "\"}";
        server.script(token);
        size_t tokens = requestCount("GET", "/api/v1/hosts/1/token");
        ASSERT_EQ(signIn(), PWRegistrarSignInSuccess);
        ASSERT_TRUE(runUntil([&] { return TunnexPeer::registeredTunnexPeer() != nullptr; }));
        EXPECT_EQ(requestCount("GET", "/api/v1/hosts/1/token"), tokens + 1);
        EXPECT_EQ(registrar->preSharedKey(), (Bytes{0, 1, 2, 255}));
        EXPECT_EQ(registrar->rendezvousAddress(), c.host);
        EXPECT_EQ(registrar->rendezvousPort(), c.port);
        registrar->signOut();
        EXPECT_EQ(TunnexPeer::registeredTunnexPeer(), nullptr) << "sign-out ends the rendezvous registration";
        runUntil([] { return false; }, 200ms);
    }

    test::ScriptedReply failing;
    failing.path = "/api/v1/hosts/1/token";
    failing.status = 500;
    failing.body = "{}";
    server.script(failing);
    ASSERT_EQ(signIn(), PWRegistrarSignInSuccess);
    ASSERT_TRUE(runUntil([&] { return registrar->signInState() == PWRegistrarSignedInOffline; }));
    mainLoop().runUntil([] { return false; }, 300ms);
    EXPECT_EQ(TunnexPeer::registeredTunnexPeer(), nullptr) << "no registration without the key";
    EXPECT_TRUE(registrar->preSharedKey().empty());
}

}  // namespace
}  // namespace kl

namespace kl {
namespace {

// The host's pings reach the rendezvous server sealed with the key the account server handed out.
TEST_F(Registrar, SignInRegistersWithTheRendezvousServerUsingTheFetchedKey) {
    const Bytes key{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f};
    std::string keyHex;
    for (uint8_t b : key) keyHex += "0123456789abcdef"[b >> 4], keyHex += "0123456789abcdef"[b & 15];
    test::StandinProcess rendezvous({test::kSystemPython, KL_RENDEZVOUS_SERVER, "serve", "--bind", "127.0.0.1:0", "--key",
                                     keyHex, "--mode", "normal"});
    auto listening = rendezvous.waitForEvent("listening", std::chrono::seconds(20));
    ASSERT_TRUE(listening);
    uint16_t port = uint16_t(listening->value("port", 0));
    uint16_t previousPort = TunnexPeer::globalServerPort();
    TunnexPeer::setGlobalServerPort(port);

    make(server.baseURL());
    test::ScriptedReply token;
    token.path = "/api/v1/hosts/1/token";
    token.body = R"({"tunnex_token":"ECEyQ1RldoeYqbrL3O3-Dw","tunnex_host":"127.0.0.1:)" +
                 std::to_string(port) + "\"}";
    server.script(token);
    ASSERT_EQ(signIn(), PWRegistrarSignInSuccess);
    ASSERT_TRUE(runUntil([&] { return rendezvous.count("ping") > 0; }, std::chrono::seconds(20)));
    auto ping = rendezvous.waitForEvent("ping", std::chrono::seconds(1));
    ASSERT_TRUE(ping) << "no sealed ping opened with the fetched key";
    EXPECT_EQ(std::to_string(ping->value("id", uint64_t(0))), registrar->hostIDString().value_or("?"));
    registrar->signOut();
    TunnexPeer::setGlobalServerPort(previousPort);
}

}  // namespace
}  // namespace kl

namespace kl {
namespace {

struct FixedServices : PWOfferedServicesSource {
    std::vector<std::string> names;
    std::vector<std::string> offeredServiceNames() const override { return names; }
};

// The host is registered with its offered services, sorted and joined, and as unavailable when it
// offers none.
TEST_F(Registrar, ChangedServicesReRegisterTheHost) {
    auto services = std::make_shared<FixedServices>();
    make(server.baseURL(), services);
    ASSERT_EQ(signIn(), PWRegistrarSignInSuccess);

    auto lastHostForm = [&] {
        std::string body;
        for (const auto& entry : server.requests())
            if (entry.stringOr("method", "") == "POST" && entry.stringOr("path", "") == "/api/v1/hosts")
                body = entry.stringOr("body", "");
        return body;
    };
    struct Case {
        std::vector<std::string> names;
        std::string serviceNames, status;
    } cases[] = {
        {{"_ssh._tcp", "_AFPOVERTCP._tcp", "_rfb._tcp", "_ssh._tcp"}, "host[service_names]=_AFPOVERTCP._tcp%2C_rfb._tcp%2C_ssh._tcp&", "available"},
        {{}, "host[service_names]=&", "unavailable"},
    };
    for (const auto& c : cases) {
        size_t before = requestCount("POST", "/api/v1/hosts");
        services->names = c.names;
        services->servicesChanged.emit();
        ASSERT_TRUE(runUntil([&] { return requestCount("POST", "/api/v1/hosts") > before; }));
        std::string form = lastHostForm();
        EXPECT_NE(form.find(c.serviceNames), std::string::npos) << form;
        EXPECT_NE(form.find("host[status]=" + c.status), std::string::npos) << form;
    }
}

}  // namespace
}  // namespace kl

namespace kl {
namespace {

// A request of a session that was signed out since changes nothing when its failure arrives.
TEST_F(Registrar, AFailureArrivingAfterSignOutLeavesTheStateSignedOut) {
    make(server.baseURL());
    test::ScriptedReply slowFailure;
    slowFailure.path = "/api/v1/hosts/1/token";
    slowFailure.status = 500;
    slowFailure.body = "{}";
    slowFailure.delaySeconds = 1;
    server.script(slowFailure);
    ASSERT_EQ(signIn(), PWRegistrarSignInSuccess);
    ASSERT_TRUE(runUntil([&] { return requestCount("GET", "/api/v1/hosts/1/token") == 1; }));
    registrar->signOut();
    ASSERT_EQ(registrar->signInState(), PWRegistrarSignedOut);
    mainLoop().runUntil([] { return false; }, 2s);
    EXPECT_EQ(registrar->signInState(), PWRegistrarSignedOut);
}

}  // namespace
}  // namespace kl
