// Batches of operations: one progress report per completed operation, counting up to the batch's
// size, and one completion after the last report.
#include <gtest/gtest.h>

#include "AccountServer.h"
#include "HttpTestSupport.h"
#include "platform/Executors.h"

namespace kl {
namespace {

using Batch = std::vector<std::shared_ptr<KLHTTPRequestOperation>>;

struct Record {
    std::vector<std::pair<size_t, size_t>> progress;
    std::vector<std::string> events;
    int completions = 0;
    Batch completed;
};

TEST(Batches, ThreeOperationsReportOneTwoThreeThenCompleteOnce) {
    test::AccountServer server;
    auto client = test::makeAccountClient(server);
    client->setDefaultHeader("Accept", std::nullopt);
    Batch operations;
    auto record = std::make_shared<Record>();
    for (int i = 0; i < 3; ++i) {
        test::ScriptedReply reply;
        reply.path = "/api/v1/item" + std::to_string(i);
        reply.body = "{}";
        reply.delaySeconds = 0.05 * (2 - i);  // finish out of order
        server.script(reply);
        auto request = client->requestWithMethod("GET", "item" + std::to_string(i), std::nullopt);
        operations.push_back(client->HTTPRequestOperationWithRequest(
            request, [record, i](const auto&, const Value&) { record->events.push_back("success " + std::to_string(i)); }, nullptr));
    }
    client->enqueueBatchOfHTTPRequestOperations(
        operations,
        [record](size_t finished, size_t total) {
            EXPECT_TRUE(mainLoop().isCurrentThread());
            record->progress.emplace_back(finished, total);
            record->events.push_back("progress " + std::to_string(finished));
        },
        [record](const Batch& batch) {
            EXPECT_TRUE(mainLoop().isCurrentThread());
            ++record->completions;
            record->completed = batch;
            record->events.push_back("completion");
        });
    ASSERT_TRUE(mainLoop().runUntil([&] { return record->completions > 0; }, std::chrono::seconds(20)));
    test::drainMainLoop();

    const std::vector<std::pair<size_t, size_t>> expected = {{1, 3}, {2, 3}, {3, 3}};
    EXPECT_EQ(record->progress, expected);
    EXPECT_EQ(record->completions, 1);
    EXPECT_EQ(record->completed, operations);
    for (const auto& op : operations) EXPECT_TRUE(op->isFinished());
    // Completion comes after the last report; every operation's own callback still ran once.
    auto completion = std::find(record->events.begin(), record->events.end(), "completion");
    auto lastReport = std::find(record->events.begin(), record->events.end(), "progress 3");
    EXPECT_LT(lastReport, completion);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(std::count(record->events.begin(), record->events.end(), "success " + std::to_string(i)), 1);
}

TEST(Batches, RequestsBecomeOperationsAndAnEmptyBatchStillCompletes) {
    auto client = KLHTTPClient::clientWithBaseURL("http://127.0.0.1:9/api/v1/");  // discard port: nothing listens
    auto record = std::make_shared<Record>();
    client->enqueueBatchOfHTTPRequestOperationsWithRequests(
        {client->requestWithMethod("GET", "a", std::nullopt), client->requestWithMethod("GET", "b", std::nullopt)},
        [record](size_t finished, size_t total) { record->progress.emplace_back(finished, total); },
        [record](const Batch& batch) {
            ++record->completions;
            record->completed = batch;
        });
    ASSERT_TRUE(mainLoop().runUntil([&] { return record->completions > 0; }, std::chrono::seconds(20)));
    EXPECT_EQ(record->progress, (std::vector<std::pair<size_t, size_t>>{{1, 2}, {2, 2}}));
    ASSERT_EQ(record->completed.size(), 2u);
    EXPECT_TRUE(record->completed[0]->error().has_value());  // failures count as finished too

    auto empty = std::make_shared<Record>();
    client->enqueueBatchOfHTTPRequestOperations(
        {}, [empty](size_t, size_t) { empty->progress.emplace_back(0, 0); }, [empty](const Batch&) { ++empty->completions; });
    ASSERT_TRUE(mainLoop().runUntil([&] { return empty->completions > 0; }, std::chrono::seconds(5)));
    test::drainMainLoop();
    EXPECT_EQ(empty->completions, 1);
    EXPECT_TRUE(empty->progress.empty());
}

}  // namespace
}  // namespace kl
