#include "HttpTestSupport.h"

#include <chrono>

#include "AccountServer.h"
#include "http/KLNetworkRequestThread.h"
#include "platform/Executors.h"

namespace kl::test {

KLHTTPSuccessBlock recordSuccess(const std::shared_ptr<Outcome>& outcome) {
    return [outcome](const std::shared_ptr<KLHTTPRequestOperation>& op, const Value& object) {
        outcome->onMainLoop = outcome->onMainLoop && mainLoop().isCurrentThread();
        ++outcome->successCalls;
        outcome->operation = op;
        outcome->object = object;
    };
}

KLHTTPFailureBlock recordFailure(const std::shared_ptr<Outcome>& outcome) {
    return [outcome](const std::shared_ptr<KLHTTPRequestOperation>& op, const Error& error) {
        outcome->onMainLoop = outcome->onMainLoop && mainLoop().isCurrentThread();
        ++outcome->failureCalls;
        outcome->operation = op;
        outcome->error = error;
        if (auto json = std::dynamic_pointer_cast<KLJSONRequestOperation>(op)) outcome->jsonInFailure = json->responseJSON();
    };
}

std::shared_ptr<KLHTTPClient> makeAccountClient(const AccountServer& server) {
    KLNetworkRequestThread::setCertificateAuthorityFile(server.caFile());
    auto client = KLHTTPClient::clientWithBaseURL(server.baseURL());
    client->registerHTTPOperationClass<KLJSONRequestOperation>();
    client->setDefaultHeader("Accept", "application/json");
    return client;
}

AccountServer* SharedServerTest::server = nullptr;

void SharedServerTest::SetUpTestSuite() { server = new AccountServer(); }

void SharedServerTest::TearDownTestSuite() {
    delete server;
    server = nullptr;
}

void SharedServerTest::SetUp() {
    server->reset();
    client = makeAccountClient(*server);
    client->setDefaultHeader("Accept", std::nullopt);
}

bool runUntilAnswered(std::initializer_list<std::shared_ptr<Outcome>> outcomes) {
    std::vector<std::shared_ptr<Outcome>> all(outcomes);
    return mainLoop().runUntil(
        [&] {
            for (const auto& o : all)
                if (o->calls() == 0) return false;
            return true;
        },
        std::chrono::seconds(20));
}

void drainMainLoop() {
    mainLoop().runUntil([] { return false; }, std::chrono::milliseconds(200));
}

}  // namespace kl::test
