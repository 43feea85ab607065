// The daemon's account client against the stand-in account server over TLS, driven through the
// control protocol as a control app drives it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AccountServer.h"
#include "DaemonTestSupport.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using test::command;
using test::DaemonProcess;
using test::TestControlApp;
using namespace std::chrono_literals;

constexpr const char* kEmail = "ada@example.com";
constexpr const char* kPassword = "correct horse";

DaemonProcess::Options optionsFor(int port, const std::string& caFile) {
    DaemonProcess::Options options;
    options.daemonPreferences = {{"AccountServerHost", Value("127.0.0.1")}, {"AccountServerPort", Value(int64_t(port))}};
    if (!caFile.empty()) options.environment["KL_HTTP_CA_FILE"] = caFile;
    return options;
}

std::vector<std::string> requestLines(test::AccountServer& server) {
    std::vector<std::string> lines;
    for (const auto& entry : server.requests())
        lines.push_back(entry.stringOr("method", "") + " " + entry.stringOr("path", ""));
    return lines;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

uint64_t signIn(TestControlApp& app, const std::string& email, const std::string& password,
                std::optional<Dictionary>* replyOut = nullptr) {
    auto reply = app.request(command(6, {{"email", Value(email)}, {"password", Value(password)}}), 30s);
    if (replyOut) *replyOut = reply;
    return reply ? reply->find("registrarSignInResult")->asUInt().value_or(99) : 99;
}

uint64_t stateOf(TestControlApp& app) { return app.request(command(14))->find("registrarState")->asUInt().value_or(99); }

class AccountClient : public ::testing::Test {
protected:
    void SetUp() override { server.addUser(kEmail, kPassword); }
    test::AccountServer server;
};

TEST_F(AccountClient, SignInRegistersTheHostFetchesTheKeyAndKeepsTheCredentialsPrivate) {
    DaemonProcess daemon(optionsFor(server.port(), server.caFile()));
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp follower, app;
    ASSERT_TRUE(follower.request(command(1)));

    EXPECT_EQ(signIn(app, kEmail, kPassword), 0u);
    EXPECT_EQ(stateOf(app), 1u);
    ASSERT_TRUE(follower.waitForMessage(2));
    EXPECT_EQ(follower.messages().front().find("registrarState")->asUInt(), 1u);
    EXPECT_EQ(*app.request(command(20))->find("email")->asString(), kEmail);

    // Registration, then the token of the id the server gave.
    ASSERT_TRUE(test::waitFor([&] { return contains(requestLines(server), "GET /api/v1/hosts/1/token"); }, 15s));
    auto lines = requestLines(server);
    auto at = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
    EXPECT_LT(at("POST /api/v1/sessions"), at("POST /api/v1/hosts"));
    EXPECT_LT(at("POST /api/v1/hosts"), at("GET /api/v1/hosts/1/token"));
    EXPECT_TRUE(daemon.waitForLog("session cookie: present"));

    std::filesystem::path folder = daemon.root() / "var/lib/portweaver/secrets";
    struct stat info{};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    size_t items = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << entry.path();
        ++items;
    }
    EXPECT_EQ(items, 1u);
    std::string log = daemon.log();
    EXPECT_EQ(log.find(kPassword), std::string::npos) << "the password reached the log";
    std::string session;
    for (const auto& entry : server.requests()) {
        std::string headers = entry.get("headers") ? entry.get("headers")->description() : "";
        if (size_t at = headers.find("_session_id="); at != std::string::npos) session = headers.substr(at + 12, 32);
    }
    ASSERT_EQ(session.size(), 32u) << "the requests carried no session cookie";
    EXPECT_EQ(log.find(session), std::string::npos) << "the session cookie reached the log";

    // A sign-in turns host reporting on: the host list fetched at request 32 reaches the control
    // apps as message 6.
    EXPECT_FALSE(follower.hasMessage(6));
    EXPECT_EQ(app.request(command(32)), Dictionary{});
    EXPECT_TRUE(follower.waitForMessage(6, 15s));
    EXPECT_TRUE(contains(requestLines(server), "GET /api/v1/hosts"));
}

TEST_F(AccountClient, RefusedSignInsReportTheServersTextAndEmptyFieldsSendNothing) {
    DaemonProcess daemon(optionsFor(server.port(), server.caFile()));
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    struct Case {
        const char* name;
        std::string password;
        std::optional<std::string> scriptedBody;  // a scripted 422 reply body
        uint64_t result;
        std::optional<std::string> error;
    } cases[] = {
        {"wrong password, the server's text", "wrong", std::nullopt, 1, "Invalid email or password."},
        {"422 with ERROR", kPassword, "ERROR", 1, std::nullopt},
        {"422 with an empty body", kPassword, "", 1, std::nullopt},
        {"empty password", "", std::nullopt, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.reset();
        if (c.scriptedBody) {
            test::ScriptedReply scripted;
            scripted.method = "POST";
            scripted.path = "/api/v1/sessions";
            scripted.status = 422;
            scripted.contentType = "text/plain";
            scripted.body = *c.scriptedBody;
            server.script(scripted);
        }
        std::optional<Dictionary> reply;
        EXPECT_EQ(signIn(app, kEmail, c.password, &reply), c.result);
        const Value* error = reply ? reply->find("registrarSignInError") : nullptr;
        EXPECT_EQ(error ? std::optional<std::string>(*error->asString()) : std::nullopt, c.error);
        EXPECT_EQ(stateOf(app), 0u);
        if (c.password.empty()) {
            EXPECT_TRUE(server.requests().empty()) << "an empty password is not sent";
        }
    }
}

TEST_F(AccountClient, AnEmptyPasswordLeavesTheSavedCredentialsAlone) {
    DaemonProcess daemon(optionsFor(server.port(), server.caFile()));
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    ASSERT_EQ(signIn(app, kEmail, kPassword), 0u);
    EXPECT_EQ(signIn(app, "other@example.com", ""), 1u);
    EXPECT_EQ(*app.request(command(20))->find("email")->asString(), kEmail);
}

TEST_F(AccountClient, AccountCreationJoinsTheServersMessagesPerField) {
    DaemonProcess daemon(optionsFor(server.port(), server.caFile()));
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    test::ScriptedReply scripted;
    scripted.method = "POST";
    scripted.path = "/api/v1/users";
    scripted.status = 422;
    scripted.body = R"({"email":["is invalid","has already been taken"],"password":["is too short"]})";
    server.script(scripted);
    auto reply = app.request(command(9, {{"email", Value("x")}, {"password", Value("1")}}), 30s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->find("registrarSignInResult")->asUInt(), 1u);
    EXPECT_EQ(*reply->find("registrarCreateAccountEmailErrors")->asString(), "is invalid|has already been taken");
    EXPECT_EQ(*reply->find("registrarCreateAccountPasswordErrors")->asString(), "is too short");

    // Only password errors: no e-mail key.
    reply = app.request(command(9, {{"email", Value("new@example.com")}, {"password", Value("123")}}), 30s);
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->contains("registrarCreateAccountEmailErrors"));
    EXPECT_TRUE(reply->contains("registrarCreateAccountPasswordErrors"));

    reply = app.request(command(9, {{"email", Value("new@example.com")}, {"password", Value("long enough")}}), 30s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->find("registrarSignInResult")->asUInt(), 0u);
    EXPECT_EQ(stateOf(app), 1u);
}

TEST_F(AccountClient, SignOutSendsTheLogoutWithItsCookieAndForgetsTheCredentials) {
    DaemonProcess daemon(optionsFor(server.port(), server.caFile()));
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp follower, app;
    ASSERT_TRUE(follower.request(command(1)));
    ASSERT_EQ(signIn(app, kEmail, kPassword), 0u);
    ASSERT_EQ(server.state().get("sessions")->asInt(), 1);
    app.send(command(7));
    ASSERT_TRUE(test::waitFor([&] { return contains(requestLines(server), "GET /api/v1/sessions/logout"); }, 15s));
    EXPECT_TRUE(test::waitFor([&] { return server.state().get("sessions")->asInt() == 0; }, 5s))
        << "the logout request did not carry the session cookie";
    EXPECT_EQ(stateOf(app), 0u);
    EXPECT_EQ(*app.request(command(20))->find("email")->asString(), "");
    auto messages = follower.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages.back().find("registrarState")->asUInt(), 0u);
}

TEST_F(AccountClient, SavedCredentialsSurviveARestartAndSignInAgain) {
    DaemonProcess daemon(optionsFor(server.port(), server.caFile()));
    ASSERT_TRUE(daemon.waitUntilListening());
    {
        TestControlApp app;
        ASSERT_EQ(signIn(app, kEmail, kPassword), 0u);
    }
    auto exit = daemon.terminate();
    ASSERT_TRUE(exit);
    EXPECT_TRUE(WIFEXITED(*exit) && WEXITSTATUS(*exit) == 0) << "a signed-in daemon ends cleanly on SIGTERM";
    server.reset();
    daemon.start();
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    EXPECT_TRUE(test::waitFor([&] { return stateOf(app) == 1; }, 30s)) << "no sign-in with the saved credentials";
    EXPECT_TRUE(contains(requestLines(server), "POST /api/v1/sessions"));
    EXPECT_EQ(*app.request(command(20))->find("email")->asString(), kEmail);
}

TEST_F(AccountClient, DeletingAHostAnswersWithTheServersVerdict) {
    DaemonProcess daemon(optionsFor(server.port(), server.caFile()));
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    ASSERT_EQ(signIn(app, kEmail, kPassword), 0u);
    ASSERT_TRUE(test::waitFor([&] { return contains(requestLines(server), "GET /api/v1/hosts/1/token"); }, 15s));
    auto reply = app.request(command(18, {{"id", Value("1")}}), 30s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->find("succeeded")->asBool(), true);
    EXPECT_EQ(reply->find("errorCode")->asUInt(), 0u);
    EXPECT_EQ(*reply->find("errorDescription")->asString(), "");
    EXPECT_TRUE(contains(requestLines(server), "DELETE /api/v1/hosts/1"));

    reply = app.request(command(18, {{"id", Value("999")}}), 30s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->find("succeeded")->asBool(), false);
    EXPECT_NE(reply->find("errorCode")->asUInt(), 0u);
}

TEST_F(AccountClient, AServerThatIsDownIsANetworkFailureAndKeepsTheCredentials) {
    int closedPort = test::closedLoopbackPort();

    DaemonProcess daemon(optionsFor(closedPort, server.caFile()));
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    EXPECT_EQ(signIn(app, kEmail, kPassword), 2u);
    EXPECT_EQ(*app.request(command(20))->find("email")->asString(), kEmail) << "kept for the tick's retries";
}

TEST_F(AccountClient, AServerCertificateThatIsNotTrustedIsRefused) {
    DaemonProcess daemon(optionsFor(server.port(), ""));
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    EXPECT_EQ(signIn(app, kEmail, kPassword), 2u);
    EXPECT_FALSE(contains(requestLines(server), "POST /api/v1/sessions")) << "a request went through";
}

}  // namespace
}  // namespace kl
