// Cancellation: before start, mid-flight and by method and path. Each cancelled operation ends
// exactly once with -999 carrying its URL, while the others complete.
#include <gtest/gtest.h>

#include "AccountServer.h"
#include "HttpTestSupport.h"
#include "http/KLNetworkRequestThread.h"
#include "http/KLURLErrors.h"
#include "platform/Executors.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using test::Outcome;

class Cancellation : public ::testing::Test {
protected:
    void SetUp() override { client = test::makeAccountClient(server); }

    // A reply that comes only after a long wait, so the request is in flight when cancelled.
    void scriptSlow(const std::string& method, const std::string& path) {
        test::ScriptedReply slow;
        slow.method = method;
        slow.path = path;
        slow.body = "{}";
        slow.delaySeconds = 30;
        server.script(slow);
    }

    std::shared_ptr<KLHTTPRequestOperation> operation(const std::string& method, const std::string& path,
                                                      const std::shared_ptr<Outcome>& outcome) {
        auto request = client->requestWithMethod(method, path, std::nullopt);
        return client->HTTPRequestOperationWithRequest(request, test::recordSuccess(outcome), test::recordFailure(outcome));
    }

    static void expectCancelled(const Outcome& outcome, const std::string& url) {
        EXPECT_EQ(outcome.failureCalls, 1);
        EXPECT_EQ(outcome.successCalls, 0);
        ASSERT_TRUE(outcome.error.has_value());
        EXPECT_EQ(outcome.error->domain(), kKLURLErrorDomain);
        EXPECT_EQ(outcome.error->code(), kKLURLErrorCancelled);
        const Value* failing = outcome.error->userInfo().find(kKLURLErrorFailingURLErrorKey);
        ASSERT_NE(failing, nullptr);
        EXPECT_EQ(*failing, Value(url));
        EXPECT_TRUE(outcome.onMainLoop);
    }

    test::AccountServer server;
    std::shared_ptr<KLHTTPClient> client;
};

TEST_F(Cancellation, BeforeStartAndMidFlightEachFinishOnce) {
    std::vector<std::string> started, finished;
    auto startId = KLURLConnectionOperation::didStartNotification().connect(
        [&](const std::shared_ptr<KLURLConnectionOperation>& op) { started.push_back(op->request().url); });
    auto finishId = KLURLConnectionOperation::didFinishNotification().connect(
        [&](const std::shared_ptr<KLURLConnectionOperation>& op) { finished.push_back(op->request().url); });

    auto early = std::make_shared<Outcome>();
    auto earlyOp = operation("GET", "early", early);
    earlyOp->cancel();
    earlyOp->cancel();
    EXPECT_TRUE(earlyOp->isCancelled());
    EXPECT_TRUE(earlyOp->isReady());
    client->enqueueHTTPRequestOperation(earlyOp);

    scriptSlow("GET", "/api/v1/slow");
    auto slow = std::make_shared<Outcome>();
    auto slowOp = operation("GET", "slow", slow);
    client->enqueueHTTPRequestOperation(slowOp);
    auto other = std::make_shared<Outcome>();
    client->getPath("hosts/1/token", std::nullopt, test::recordSuccess(other), test::recordFailure(other));

    // Cancel once the server holds the request.
    ASSERT_TRUE(test::waitFor([&] { return server.requests().size() >= 1; }, std::chrono::seconds(20)));
    EXPECT_TRUE(slowOp->isExecuting());
    slowOp->cancel();
    ASSERT_TRUE(test::runUntilAnswered({early, slow, other}));
    test::drainMainLoop();

    expectCancelled(*early, server.baseURL() + "early");
    expectCancelled(*slow, server.baseURL() + "slow");
    EXPECT_TRUE(earlyOp->isFinished());
    EXPECT_TRUE(slowOp->isFinished());
    EXPECT_FALSE(slowOp->responseData().has_value());
    // The other request went on: the stand-in refuses it for want of a session.
    EXPECT_EQ(other->failureCalls, 1);
    EXPECT_EQ(other->operation->response()->statusCode, 422);

    // Cancelling a finished operation changes nothing.
    slowOp->cancel();
    test::drainMainLoop();
    EXPECT_EQ(slow->calls(), 1);
    EXPECT_EQ(slowOp->error()->code(), kKLURLErrorCancelled);

    // The early operation made no connection but still announced its start and finish.
    for (const auto& url : {server.baseURL() + "early", server.baseURL() + "slow"}) {
        EXPECT_EQ(std::count(started.begin(), started.end(), url), 1) << url;
        EXPECT_EQ(std::count(finished.begin(), finished.end(), url), 1) << url;
    }
    for (const auto& entry : server.requests()) EXPECT_NE(entry.stringOr("path", ""), "/api/v1/early");
    EXPECT_EQ(client->operationQueue()->operationCount(), 0u);
    KLURLConnectionOperation::didStartNotification().disconnect(startId);
    KLURLConnectionOperation::didFinishNotification().disconnect(finishId);
}

TEST_F(Cancellation, ByMethodAndPath) {
    scriptSlow("GET", "/api/v1/hosts");
    scriptSlow("POST", "/api/v1/hosts");
    scriptSlow("GET", "/api/v1/hosts/7/token");
    auto getHosts = std::make_shared<Outcome>();
    auto getHostsWithQuery = std::make_shared<Outcome>();
    auto postHosts = std::make_shared<Outcome>();
    auto getToken = std::make_shared<Outcome>();
    client->getPath("hosts", std::nullopt, test::recordSuccess(getHosts), test::recordFailure(getHosts));
    client->getPath("hosts", Dictionary{{"page", 2}}, test::recordSuccess(getHostsWithQuery), test::recordFailure(getHostsWithQuery));
    client->postPath("hosts", std::nullopt, test::recordSuccess(postHosts), test::recordFailure(postHosts));
    client->getPath("hosts/7/token", std::nullopt, test::recordSuccess(getToken), test::recordFailure(getToken));
    EXPECT_EQ(client->operationQueue()->operationCount(), 4u);

    client->cancelAllHTTPOperationsWithMethod("GET", "hosts");
    ASSERT_TRUE(test::runUntilAnswered({getHosts, getHostsWithQuery}));
    expectCancelled(*getHosts, server.baseURL() + "hosts");
    expectCancelled(*getHostsWithQuery, server.baseURL() + "hosts?page=2");
    test::drainMainLoop();
    EXPECT_EQ(postHosts->calls(), 0);
    EXPECT_EQ(getToken->calls(), 0);

    client->cancelAllHTTPOperationsWithMethod(std::nullopt, "hosts");
    ASSERT_TRUE(test::runUntilAnswered({postHosts}));
    expectCancelled(*postHosts, server.baseURL() + "hosts");
    EXPECT_EQ(getToken->calls(), 0);

    client->cancelAllHTTPOperations();
    ASSERT_TRUE(test::runUntilAnswered({getToken}));
    expectCancelled(*getToken, server.baseURL() + "hosts/7/token");
    EXPECT_TRUE(mainLoop().runUntil([&] { return client->operationQueue()->operationCount() == 0; }, std::chrono::seconds(10)));
}

TEST_F(Cancellation, ManyConcurrentRequestsEachFinishOnce) {
    // Cancels racing with completions: whichever wins, every operation calls back exactly once.
    server.addUser("dee@example.com", "password1");
    std::vector<std::shared_ptr<Outcome>> outcomes;
    std::vector<std::shared_ptr<KLHTTPRequestOperation>> operations;
    for (int i = 0; i < 24; ++i) {
        auto outcome = std::make_shared<Outcome>();
        auto op = operation("GET", "hosts/" + std::to_string(i) + "/token", outcome);
        outcomes.push_back(outcome);
        operations.push_back(op);
        client->enqueueHTTPRequestOperation(op);
    }
    for (size_t i = 0; i < operations.size(); i += 2) globalQueue().async([op = operations[i]] { op->cancel(); });
    ASSERT_TRUE(mainLoop().runUntil(
        [&] { return std::all_of(outcomes.begin(), outcomes.end(), [](const auto& o) { return o->calls() > 0; }); },
        std::chrono::seconds(30)));
    test::drainMainLoop();
    for (size_t i = 0; i < outcomes.size(); ++i) {
        EXPECT_EQ(outcomes[i]->calls(), 1) << i;
        EXPECT_TRUE(outcomes[i]->onMainLoop);
        if (i % 2 == 1) {
            // Not cancelled: the stand-in answers 422 for want of a session.
            EXPECT_EQ(outcomes[i]->operation->response()->statusCode, 422) << i;
        }
    }
}

}  // namespace
}  // namespace kl
