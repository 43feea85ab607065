// The control app's link with the real daemon program on a private socket folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "DaemonTestSupport.h"
#include "RecordingViews.h"
#include "controlapp/KLTAppDelegate.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"
#include "platform/AdminRule.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using test::DaemonProcess;
using test::RecordingViews;

class DaemonLink : public ::testing::Test {
protected:
    void SetUp() override {
        daemon_ = std::make_unique<DaemonProcess>();
        ASSERT_TRUE(daemon_->waitUntilListening());
        PWServicesManager::Options serviceOptions;
        serviceOptions.archivePath = test::makeTempDir("archive") / "archive";
        serviceOptions.machineID = "this-machine";
        services_ = PWServicesManager::create(serviceOptions);
        app_ = KLTAppDelegate::create({"/opt/portweaver", services_, views_});
    }
    void TearDown() override {
        if (app_) app_->cancelDaemonConnection();
        app_.reset();
        daemon_.reset();
    }
    bool waitFor(const std::function<bool()>& predicate, Duration timeout = 10s) {
        return mainLoop().runUntil(predicate, timeout);
    }
    bool checkIn() {
        app_->checkInWithDaemon();
        EXPECT_EQ(app_->daemonState(), ePWDaemonStateTryingCheckin);
        return waitFor([&] { return app_->daemonState() == ePWDaemonStateCheckedIn; });
    }

    std::unique_ptr<DaemonProcess> daemon_;
    std::shared_ptr<PWServicesManager> services_;
    std::shared_ptr<RecordingViews> views_ = std::make_shared<RecordingViews>();
    std::shared_ptr<KLTAppDelegate> app_;
};

TEST_F(DaemonLink, CheckInLearnsTheDaemonsVersionsAndSignInState) {
    ASSERT_TRUE(checkIn());
    EXPECT_TRUE(app_->daemonVersion && !app_->daemonVersion->empty());
    EXPECT_TRUE(app_->daemonRevision && !app_->daemonRevision->empty());
    EXPECT_GT(app_->daemonBuildTimeInterval, 0.0);
    EXPECT_EQ(app_->tunnexVersion.value_or(""), "3.0.0");
    EXPECT_EQ(app_->registrarState(), 0u);
    EXPECT_FALSE(app_->doingDaemonUpgrade);
    EXPECT_TRUE(daemon_->waitForLog("ControlApp told us it's bundle path is: /opt/portweaver"));
}

TEST_F(DaemonLink, ALateCheckInReplyIsOnlyLogged) {
    clearMemoryLog();
    setLoggingLevel(kKLTLoggingLevelDebug);
    app_->checkInWithDaemon();
    // What the one-second wait at start-up does when no reply came in time.
    app_->setDaemonState(ePWDaemonStateNotCheckedIn);
    ASSERT_TRUE(waitFor([] { return memoryLogContains("checkInWithDaemon Reply: KLIPC_OK"); }));
    EXPECT_EQ(app_->daemonState(), ePWDaemonStateNotCheckedIn);
    EXPECT_FALSE(app_->daemonVersion.has_value());
    setLoggingLevel(kKLTLoggingLevelInfo);
}

TEST_F(DaemonLink, ADaemonThatDiesInterruptsTheLinkAndARestartedOneTakesTheCheckInAgain) {
    ASSERT_TRUE(checkIn());
    ::kill(daemon_->pid(), SIGKILL);
    ASSERT_TRUE(daemon_->waitForExit(10s));
    ASSERT_TRUE(waitFor([&] { return app_->daemonState() == ePWDaemonStateInterrupted; }));
    EXPECT_TRUE(app_->hasDaemonConnection()) << "an interruption keeps the connection for the next send";

    daemon_->start();
    ASSERT_TRUE(daemon_->waitUntilListening());
    // Only a check-in moves an interrupted link on; nothing retries by itself.
    mainLoop().runUntil([] { return false; }, 200ms);
    EXPECT_EQ(app_->daemonState(), ePWDaemonStateInterrupted);
    // The daemon's announcement that it listens again brings the check-in.
    app_->observeDaemonStarts();
    ASSERT_TRUE(NotifyBus::post(kPWDaemonStartedNotification, NotifyBus::Scope::System));
    EXPECT_TRUE(waitFor([&] { return app_->daemonState() == ePWDaemonStateCheckedIn; }));
}

TEST_F(DaemonLink, NoDaemonLeavesTheCheckInUnanswered) {
    daemon_.reset();
    app_->checkInWithDaemon();
    // Nothing listens: the connection turns invalid and the link returns to "not checked in".
    ASSERT_TRUE(waitFor([&] { return app_->daemonState() == ePWDaemonStateNotCheckedIn; }));
    EXPECT_TRUE(waitFor([&] { return !app_->hasDaemonConnection(); }));
}

TEST_F(DaemonLink, SignInWithoutAnAccountServerFailsAndStaysSignedOut) {
    ASSERT_TRUE(checkIn());
    std::optional<uint32_t> result;
    app_->trySignInWithEmail("someone@example.org", "secret", [&](uint32_t r, std::optional<std::string>) { result = r; });
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }, 20s));
    EXPECT_NE(*result, 0u);
    EXPECT_EQ(app_->registrarState(), 0u);
}

TEST_F(DaemonLink, AFailedAccountCreationAlwaysNamesBothFields) {
    ASSERT_TRUE(checkIn());
    std::optional<uint64_t> result;
    std::optional<std::map<std::string, std::vector<std::string>>> errors;
    app_->createAccountWithEmail("someone@example.org", "secret", [&](uint64_t r, auto e) {
        result = r;
        errors = std::move(e);
    });
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }, 20s));
    EXPECT_NE(*result, 0u);
    ASSERT_TRUE(errors);
    // This daemon reaches no account server, so it sends no error texts: each field still has its
    // one (empty) piece for the views.
    EXPECT_EQ((*errors)["email"], std::vector<std::string>{""});
    EXPECT_EQ((*errors)["password"], std::vector<std::string>{""});
    EXPECT_EQ(app_->registrarState(), 0u) << "account creation leaves the sign-in state to the daemon's messages";
}

TEST_F(DaemonLink, RepliedCommandsReachTheirCompletions) {
    ASSERT_TRUE(checkIn());
    std::optional<std::string> email;
    app_->savedEmailAddressWithCompletionBlock([&](std::string e) { email = e; });
    ASSERT_TRUE(waitFor([&] { return email.has_value(); }));
    EXPECT_EQ(*email, "");

    int connected = 0;
    app_->connectWithUUID("", [&](int, Dictionary) { ++connected; });  // refused before sending
    app_->connectWithUUID("4F2C", [&](int status, Dictionary) { connected += status == 0 ? 10 : 100; });
    ASSERT_TRUE(waitFor([&] { return connected != 0; }));
    EXPECT_EQ(connected, 10);

    // An empty host list still clears the items and tells the views.
    bool remotes = false;
    auto subscription = app_->remotesDidUpdate.connect([&] { remotes = true; });
    int updatesBefore = views_->updates;
    app_->pullCurrentHosts();
    ASSERT_TRUE(waitFor([&] { return remotes; }));
    EXPECT_GT(views_->updates, updatesBefore);
    EXPECT_TRUE(services_->hostItems().empty());
    app_->remotesDidUpdate.disconnect(subscription);
}

TEST_F(DaemonLink, CommandsThatNeedAnExistingConnectionSendNothingWithoutOne) {
    bool called = false;
    app_->savedEmailAddressWithCompletionBlock([&](std::string) { called = true; });
    app_->deleteHostWithID("1", [&](bool, std::optional<Dictionary>) { called = true; });
    app_->beginHostNotifications();
    EXPECT_FALSE(app_->hasDaemonConnection());
    mainLoop().runUntil([] { return false; }, 100ms);
    EXPECT_FALSE(called);
}

TEST_F(DaemonLink, AnotherAppsRestartRequestReachesTheViews) {
    if (!isAdministrator(::geteuid())) GTEST_SKIP() << "the daemon forwards this only for an administrator";
    ASSERT_TRUE(checkIn());
    test::TestControlApp other;
    ASSERT_TRUE(other.request(ePWControlAppToDaemonCommandCheckIn));
    other.send(test::command(ePWControlAppToDaemonCommandAskOtherControlAppsToRestart,
                             {{"authorization", Value(Bytes(32, 1))}}));
    ASSERT_TRUE(waitFor([&] { return views_->relaunches == 1; }));
    EXPECT_EQ(views_->terminations, 0);
}

TEST_F(DaemonLink, PrepareForUpgradeWaitsForTheDaemonAndDropsTheLink) {
    if (!isAdministrator(::geteuid())) GTEST_SKIP() << "needs an administrator";
    ASSERT_TRUE(checkIn());
    EXPECT_TRUE(app_->sendAuthorizedCommandToDaemonAndWaitForReply(ePWControlAppToDaemonCommandPrepareForUpgrade));
    EXPECT_FALSE(app_->hasDaemonConnection());
    EXPECT_EQ(app_->daemonState(), ePWDaemonStateNotCheckedIn);
}

TEST_F(DaemonLink, AStoppedDaemonEndsTheBlockingExchangeAtItsTimeout) {
    if (!isAdministrator(::geteuid())) GTEST_SKIP() << "needs an administrator";
    ASSERT_TRUE(checkIn());
    ::kill(daemon_->pid(), SIGSTOP);
    auto start = Clock::now();
    EXPECT_FALSE(app_->sendAuthorizedCommandToDaemonAndWaitForReply(ePWControlAppToDaemonCommandPrepareForUpgrade));
    auto waited = Clock::now() - start;
    ::kill(daemon_->pid(), SIGCONT);
    EXPECT_GE(waited, kPWBlockingExchangeTimeout);
    EXPECT_LT(waited, kPWBlockingExchangeTimeout + 5s);
    EXPECT_TRUE(app_->hasDaemonConnection()) << "a failed exchange keeps the link";
}

TEST(RegistrarState, OfflineIsNeverShownToASignedOutUser) {
    auto app = KLTAppDelegate::create({});
    std::vector<uint32_t> shown;
    app->registrarStateChanged.connect([&](uint32_t s) { shown.push_back(s); });
    struct Step {
        uint32_t to, expected;
    };
    for (auto [to, expected] : {Step{2, 0}, Step{1, 1}, Step{2, 2}, Step{1, 1}, Step{0, 0}, Step{2, 0}}) {
        app->setRegistrarState(to);
        EXPECT_EQ(app->registrarState(), expected) << "to " << to;
    }
    EXPECT_EQ(shown, (std::vector<uint32_t>{1, 2, 1, 0}));
}

TEST(RegistrarState, SignInResultsMapToStates) {
    auto app = KLTAppDelegate::create({});
    app->updateSignInStateWithSignInResult(0);
    EXPECT_EQ(app->registrarState(), 1u);
    app->updateSignInStateWithSignInResult(2);
    EXPECT_EQ(app->registrarState(), 0u);
    app->updateSignInStateWithSignInResult(7);  // unknown results pass through
    EXPECT_EQ(app->registrarState(), 7u);
}

TEST(AccountErrors, SplitIntoPiecesWithAtLeastOne) {
    struct Case {
        std::string text;
        std::vector<std::string> pieces;
    };
    for (const auto& c : {Case{"", {""}}, Case{"taken", {"taken"}}, Case{"too short|no digit", {"too short", "no digit"}},
                          Case{"|", {"", ""}}})
        EXPECT_EQ(splitAccountErrors(c.text), c.pieces) << c.text;
}

}  // namespace
}  // namespace kl
