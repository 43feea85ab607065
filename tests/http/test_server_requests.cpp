// The client against the stand-in account server over TLS on loopback: what goes on the wire, how
// replies are judged, cookies, TLS trust and the thread callbacks run on.
#include <gtest/gtest.h>

#include "AccountServer.h"
#include "HttpTestSupport.h"
#include "http/KLHTTPCookieStorage.h"
#include "http/KLNetworkRequestThread.h"
#include "http/KLURLErrors.h"
#include "platform/ValueJson.h"

namespace kl {
namespace {

using test::Outcome;

test::ScriptedReply reply(std::string path, int status, std::string contentType, std::string body, double delay = 0) {
    test::ScriptedReply r;
    r.path = std::move(path);
    r.status = status;
    r.contentType = std::move(contentType);
    r.body = std::move(body);
    r.delaySeconds = delay;
    return r;
}

class ServerRequests : public ::testing::Test {
protected:
    void SetUp() override { client = test::makeAccountClient(server); }
    void TearDown() override { KLHTTPCookieStorage::sharedStorage().deleteAllCookies(); }

    std::shared_ptr<Outcome> send(const std::string& method, const std::string& path,
                                  const std::optional<Dictionary>& parameters = std::nullopt) {
        auto outcome = std::make_shared<Outcome>();
        auto success = test::recordSuccess(outcome);
        auto failure = test::recordFailure(outcome);
        if (method == "GET") client->getPath(path, parameters, success, failure);
        else if (method == "POST") client->postPath(path, parameters, success, failure);
        else if (method == "DELETE") client->deletePath(path, parameters, success, failure);
        else if (method == "PUT") client->putPath(path, parameters, success, failure);
        return outcome;
    }

    std::shared_ptr<Outcome> sendAndWait(const std::string& method, const std::string& path,
                                         const std::optional<Dictionary>& parameters = std::nullopt) {
        auto outcome = send(method, path, parameters);
        EXPECT_TRUE(test::runUntilAnswered({outcome})) << method << " " << path;
        return outcome;
    }

    // The last logged request for path.
    Value lastRequest(const std::string& path) {
        Value found;
        for (const auto& entry : server.requests())
            if (entry.stringOr("path", "") == path) found = entry;
        return found;
    }

    test::AccountServer server;
    std::shared_ptr<KLHTTPClient> client;
};

TEST_F(ServerRequests, HeadersAndBodiesOnTheWire) {
    server.addUser("ann@example.com", "s3cret pass");
    sendAndWait("POST", "sessions",
                Dictionary{{"session", Dictionary{{"password", "s3cret pass"}, {"email", "ann@example.com"}}}});
    Value signIn = lastRequest("/api/v1/sessions");
    EXPECT_EQ(signIn.stringOr("body", ""), "session[email]=ann%40example.com&session[password]=s3cret%20pass");
    const Value* headers = signIn.get("headers");
    ASSERT_NE(headers, nullptr);
    EXPECT_EQ(headers->stringOr("Content-Type", ""), "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(headers->stringOr("Accept", ""), "application/json");
    EXPECT_FALSE(headers->stringOr("Accept-Language", "").empty());
    EXPECT_NE(headers->stringOr("User-Agent", "").find("(Linux "), std::string::npos);
    EXPECT_EQ(headers->get("Expect"), nullptr);

    // A POST without parameters carries no body and no content type.
    sendAndWait("POST", "hosts/1/iamhere");
    Value ping = lastRequest("/api/v1/hosts/1/iamhere");
    EXPECT_EQ(ping.stringOr("body", "?"), "");
    EXPECT_EQ(ping.get("headers")->get("Content-Type"), nullptr);
    EXPECT_EQ(ping.get("headers")->stringOr("Content-Length", ""), "0");

    // DELETE parameters travel in the query, never in the body.
    sendAndWait("DELETE", "hosts/9", Dictionary{{"reason", "gone away"}, {"a", Array{1, 2}}});
    Value removal = lastRequest("/api/v1/hosts/9");
    EXPECT_EQ(removal.stringOr("method", ""), "DELETE");
    EXPECT_EQ(removal.stringOr("query", ""), "a[]=1&a[]=2&reason=gone%20away");
    EXPECT_EQ(removal.stringOr("body", "?"), "");
}

TEST_F(ServerRequests, JsonReplyTable) {
    struct Case {
        const char* name;
        int status;
        std::string contentType;
        std::string body;
        bool succeeds;
        std::string errorDomain;
        int64_t errorCode;
        Value expected;  // the success object, or the JSON the failure callback can read
    };
    const std::vector<Case> cases = {
        {"200 JSON", 200, "application/json; charset=utf-8", R"({"a":1})", true, "", 0, Dictionary{{"a", 1}}},
        {"200 JSON array, upper-case type", 200, "Application/JSON", "[1,2]", true, "", 0, Array{1, 2}},
        {"204 empty", 204, "application/json", "", true, "", 0, Value()},
        {"one space", 200, "application/json", " ", true, "", 0, Value()},
        {"text/html without body", 200, "text/html", "", true, "", 0, Value()},
        {"422 JSON", 422, "application/json", R"({"email":["has already been taken"]})", false,
         KLNetworkingErrorDomain, kKLURLErrorBadServerResponse, Dictionary{{"email", Array{"has already been taken"}}}},
        {"500 HTML", 500, "text/html", "<html>oops</html>", false, kJsonErrorDomain, -1, Value()},
        {"text/html with JSON", 200, "text/html", R"({"a":1})", false, KLNetworkingErrorDomain,
         kKLURLErrorCannotDecodeContentData, Dictionary{{"a", 1}}},
        {"text/html with HTML", 200, "text/html", "<p>hi</p>", false, kJsonErrorDomain, -1, Value()},
        {"top-level scalar", 200, "application/json", "42", false, kJsonErrorDomain, -1, Value()},
        {"top-level string", 200, "application/json", R"("ok")", false, kJsonErrorDomain, -1, Value()},
        {"not UTF-8", 200, "application/json", "[\"\xff\"]", false, kJsonErrorDomain, -1, Value()},
    };
    for (const auto& c : cases) {
        server.script(reply("/api/v1/hosts", c.status, c.contentType, c.body));
        auto outcome = sendAndWait("GET", "hosts");
        test::drainMainLoop();
        SCOPED_TRACE(c.name);
        EXPECT_EQ(outcome->calls(), 1);
        EXPECT_TRUE(outcome->onMainLoop);
        if (c.succeeds) {
            EXPECT_EQ(outcome->successCalls, 1);
            EXPECT_EQ(outcome->object, c.expected);
            continue;
        }
        ASSERT_EQ(outcome->failureCalls, 1);
        EXPECT_EQ(outcome->error->domain(), c.errorDomain);
        if (c.errorCode != -1) {
            EXPECT_EQ(outcome->error->code(), c.errorCode);
        }
        EXPECT_EQ(outcome->jsonInFailure.value_or(Value("unset")), c.expected);
        ASSERT_TRUE(outcome->operation->response().has_value());
        EXPECT_EQ(outcome->operation->response()->statusCode, c.status);
        EXPECT_EQ(outcome->operation->responseData().value_or(Bytes{}), Bytes(c.body.begin(), c.body.end()));
    }
}

TEST_F(ServerRequests, RefusedRepliesKeepStatusAndBody) {
    // A refused status with a JSON body: -1011 naming the code, the server's JSON readable.
    auto created = sendAndWait("POST", "users", Dictionary{{"user", Dictionary{{"email", "bo@example"}, {"password", "x"}}}});
    ASSERT_EQ(created->failureCalls, 1);
    EXPECT_EQ(created->error->domain(), KLNetworkingErrorDomain);
    EXPECT_EQ(created->error->code(), kKLURLErrorBadServerResponse);
    EXPECT_EQ(created->error->description(), "Expected status code in (200-299), got 422");
    const Value* suggestion = created->error->userInfo().find(kKLLocalizedRecoverySuggestionErrorKey);
    ASSERT_NE(suggestion, nullptr);
    EXPECT_NE(suggestion->asString()->find("is too short"), std::string::npos);
    EXPECT_FALSE(created->operation->hasAcceptableStatusCode());
    const Value& messages = *created->jsonInFailure;
    ASSERT_TRUE(messages.isDictionary());
    EXPECT_EQ(*messages.get("email"), Value(Array{"is invalid"}));
    EXPECT_EQ(*messages.get("password"), Value(Array{"is too short (minimum is 6 characters)"}));

    // Refused credentials come back as text: the parse error replaces -1011, and the status and
    // the text stay readable for the caller.
    server.addUser("bo@example.com", "password1");
    auto signIn = sendAndWait("POST", "sessions",
                              Dictionary{{"session", Dictionary{{"email", "bo@example.com"}, {"password", "wrong"}}}});
    ASSERT_EQ(signIn->failureCalls, 1);
    EXPECT_EQ(signIn->error->domain(), kJsonErrorDomain);
    EXPECT_EQ(signIn->operation->response()->statusCode, 422);
    EXPECT_EQ(signIn->operation->responseString().value_or(""), "Invalid email or password.");
}

TEST_F(ServerRequests, ResponseTextDecodesByCharset) {
    struct Case {
        std::string contentType;
        std::string body;
        std::string encoding;
        std::optional<std::string> text;
    };
    const std::vector<Case> cases = {
        {"text/plain; charset=iso-8859-1", "caf\xe9", "iso-8859-1", "caf\xc3\xa9"},
        {"text/plain", "caf\xe9", "iso-8859-1", "caf\xc3\xa9"},
        {"application/json", "\"caf\xc3\xa9\"", "utf-8", "\"caf\xc3\xa9\""},
        {"text/plain; charset=\"no-such-set\"", "caf\xc3\xa9", "utf-8", "caf\xc3\xa9"},
        {"application/octet-stream", "\xff\xfe", "utf-8", std::nullopt},
    };
    client->setDefaultHeader("Accept", std::nullopt);  // plain HTTP operations
    for (const auto& c : cases) {
        server.script(reply("/api/v1/text", 200, c.contentType, c.body));
        auto outcome = sendAndWait("GET", "text");
        SCOPED_TRACE(c.contentType);
        ASSERT_EQ(outcome->successCalls, 1);
        EXPECT_STREQ(outcome->operation->className(), "KLHTTPRequestOperation");
        EXPECT_EQ(outcome->object, Value(Bytes(c.body.begin(), c.body.end())));
        EXPECT_EQ(outcome->operation->responseStringEncoding(), c.encoding);
        EXPECT_EQ(outcome->operation->responseString(), c.text);
    }
}

TEST_F(ServerRequests, LargeBodyArrivesWholeAcrossManyChunks) {
    std::string body(3 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char('a' + (i * 7919) % 26);
    server.script(reply("/api/v1/big", 200, "application/octet-stream", body));
    client->setDefaultHeader("Accept", std::nullopt);  // a plain HTTP operation: the bytes are the result
    auto request = client->requestWithMethod("GET", "big", std::nullopt);
    auto outcome = std::make_shared<Outcome>();
    auto op = client->HTTPRequestOperationWithRequest(request, test::recordSuccess(outcome), test::recordFailure(outcome));
    int chunks = 0;
    int64_t lastTotal = 0;
    op->setDownloadProgressBlock([&](int64_t, int64_t total, int64_t) {
        ++chunks;
        lastTotal = total;
    });
    client->enqueueHTTPRequestOperation(op);
    ASSERT_TRUE(test::runUntilAnswered({outcome}));
    test::drainMainLoop();
    ASSERT_EQ(outcome->successCalls, 1);
    EXPECT_TRUE(outcome->object == Value(Bytes(body.begin(), body.end())));
    EXPECT_GT(chunks, 1);
    EXPECT_EQ(lastTotal, int64_t(body.size()));
    EXPECT_EQ(op->totalBytesRead(), int64_t(body.size()));
}

TEST_F(ServerRequests, SessionCookieFromSignInIsSentAgain) {
    server.addUser("cy@example.com", "password1");
    auto signIn = sendAndWait("POST", "sessions",
                              Dictionary{{"session", Dictionary{{"email", "cy@example.com"}, {"password", "password1"}}}});
    ASSERT_EQ(signIn->successCalls, 1);
    auto cookies = KLHTTPCookieStorage::sharedStorage().cookiesForURL(client->baseURL());
    ASSERT_EQ(cookies.size(), 1u);
    EXPECT_EQ(cookies[0].name, "_session_id");
    EXPECT_TRUE(cookies[0].secure);

    // A new client for the same server shares the store, so the session goes along.
    client = test::makeAccountClient(server);
    auto registered = sendAndWait("POST", "hosts", Dictionary{{"host", Dictionary{{"uuid", "U-1"}, {"name", "desk"}}}});
    ASSERT_EQ(registered->successCalls, 1) << registered->error->description();
    EXPECT_EQ(registered->object.stringOr("uuid", ""), "U-1");
    std::string cookieHeader = lastRequest("/api/v1/hosts").get("headers")->stringOr("Cookie", "");
    EXPECT_EQ(cookieHeader, "_session_id=" + cookies[0].value);

    auto list = sendAndWait("GET", "hosts");
    ASSERT_EQ(list->successCalls, 1);
    ASSERT_TRUE(list->object.isArray());
    EXPECT_EQ(list->object.asArray()->size(), 1u);

    // Deleting the cookie ends the session as far as the server can tell.
    KLHTTPCookieStorage::sharedStorage().deleteCookie(cookies[0]);
    EXPECT_TRUE(KLHTTPCookieStorage::sharedStorage().cookiesForURL(client->baseURL()).empty());
    auto refused = sendAndWait("GET", "hosts");
    ASSERT_EQ(refused->failureCalls, 1);
    EXPECT_EQ(refused->operation->response()->statusCode, 422);
}

TEST_F(ServerRequests, UntrustedCertificateFailsWithATlsError) {
    KLNetworkRequestThread::setCertificateAuthorityFile("");  // the system's trust store only
    auto outcome = sendAndWait("GET", "hosts");
    ASSERT_EQ(outcome->failureCalls, 1);
    EXPECT_EQ(outcome->error->domain(), kKLURLErrorDomain);
    EXPECT_EQ(outcome->error->code(), kKLURLErrorServerCertificateUntrusted) << outcome->error->description();
    EXPECT_FALSE(outcome->operation->response().has_value());
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(ServerRequests, ConnectionFailuresMapToUrlErrors) {
    // Nothing listens on the port of a server that has gone.
    std::string gone;
    {
        test::AccountServer other;
        gone = other.baseURL();
    }
    auto refusedClient = KLHTTPClient::clientWithBaseURL(gone);
    auto refused = std::make_shared<Outcome>();
    refusedClient->getPath("hosts", std::nullopt, test::recordSuccess(refused), test::recordFailure(refused));

    // An idle limit of one second against a reply that takes five.
    server.script(reply("/api/v1/slow", 200, "application/json", "{}", 5));
    auto request = client->requestWithMethod("GET", "slow", std::nullopt);
    request.timeoutInterval = 1;
    auto slow = std::make_shared<Outcome>();
    client->enqueueHTTPRequestOperation(
        client->HTTPRequestOperationWithRequest(request, test::recordSuccess(slow), test::recordFailure(slow)));

    auto badClient = KLHTTPClient::clientWithBaseURL("no scheme at all");
    auto bad = std::make_shared<Outcome>();
    badClient->getPath("hosts", std::nullopt, test::recordSuccess(bad), test::recordFailure(bad));

    ASSERT_TRUE(test::runUntilAnswered({refused, slow, bad}));
    ASSERT_EQ(refused->failureCalls, 1);
    EXPECT_EQ(refused->error->code(), kKLURLErrorCannotConnectToHost);
    const Value* failingURL = refused->error->userInfo().find(kKLURLErrorFailingURLErrorKey);
    ASSERT_NE(failingURL, nullptr);
    EXPECT_EQ(*failingURL, Value(gone + "hosts"));
    ASSERT_EQ(slow->failureCalls, 1);
    EXPECT_EQ(slow->error->code(), kKLURLErrorTimedOut);
    ASSERT_EQ(bad->failureCalls, 1);
    EXPECT_EQ(bad->error->code(), kKLURLErrorBadURL);
}

TEST_F(ServerRequests, SerialisationFailureFailsWithoutSending) {
    client->setParameterEncoding(KLJSONParameterEncoding);
    auto outcome = sendAndWait("POST", "users", Dictionary{{"bad", std::string("\xc3\x28")}});
    ASSERT_EQ(outcome->failureCalls, 1);
    EXPECT_EQ(outcome->error->domain(), kKLSerializationErrorDomain);
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace kl
