// Shared by the HTTP tests: what one request's callbacks delivered, and where.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>

#include "http/KLHTTPClient.h"
#include "http/KLJSONRequestOperation.h"

namespace kl::test {

class AccountServer;

struct Outcome {
    int successCalls = 0;
    int failureCalls = 0;
    bool onMainLoop = true;  // every callback ran on the main loop's thread
    std::shared_ptr<KLHTTPRequestOperation> operation;
    Value object;
    std::optional<Error> error;
    std::optional<Value> jsonInFailure;  // responseJSON as the failure callback saw it

    int calls() const { return successCalls + failureCalls; }
};

// Success and failure blocks that record into outcome (main loop only, so no lock).
KLHTTPSuccessBlock recordSuccess(const std::shared_ptr<Outcome>& outcome);
KLHTTPFailureBlock recordFailure(const std::shared_ptr<Outcome>& outcome);

// A client of the stand-in as the account client makes it: JSON operations, "Accept" of JSON, the
// stand-in's certificate trusted.
std::shared_ptr<KLHTTPClient> makeAccountClient(const AccountServer& server);

// Tests that share one stand-in server (reset before each test) and get a fresh client of it,
// without a default "Accept", so requests become plain HTTP operations unless a class takes them.
class SharedServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static AccountServer* server;
    std::shared_ptr<KLHTTPClient> client;
};

// Runs the main loop until every outcome has a callback (or 20 s pass); true when all have.
bool runUntilAnswered(std::initializer_list<std::shared_ptr<Outcome>> outcomes);
// Runs the main loop for a while longer, so that a second callback would show.
void drainMainLoop();

}  // namespace kl::test
