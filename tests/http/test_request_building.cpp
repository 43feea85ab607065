// Request building without a network: the query-string encoder, parameter encodings, the base
// URL, default headers, operation-class choice and the operation state table.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>

#include "http/KLHTTPClient.h"
#include "http/KLJSONRequestOperation.h"
#include "http/KLQueryString.h"
#include "http/KLURL.h"
#include "platform/ValuePlist.h"

namespace kl {
namespace {

std::string query(const Dictionary& parameters) {
    auto q = KLQueryStringFromParametersWithEncoding(parameters, "utf-8");
    EXPECT_TRUE(q.ok());
    return q.ok() ? q.value() : std::string();
}

std::string bodyText(const KLURLRequest& request) {
    return request.HTTPBody ? std::string(request.HTTPBody->begin(), request.HTTPBody->end()) : std::string("<none>");
}

TEST(QueryStringEncoder, EncodesTheCasesOfTheTable) {
    struct Case {
        const char* name;
        Dictionary parameters;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"empty", {}, ""},
        {"keys sorted case-insensitively", {{"b", 1}, {"A", 2}}, "A=2&b=1"},
        {"nested dictionary", {{"user", Dictionary{{"password", "p"}, {"email", "e"}}}}, "user[email]=e&user[password]=p"},
        {"array", {{"k", Array{1, 2}}}, "k[]=1&k[]=2"},
        {"null gives the field alone", {{"flag", nullptr}, {"a", "b"}}, "a=b&flag"},
        {"space & = + / ~ escaped", {{"q", "a b&c=d+e/f~g"}}, "q=a%20b%26c%3Dd%2Be%2Ff%7Eg"},
        {"[] . - _ kept", {{"x.y", "[v]-_."}}, "x.y=[v]-_."},
        {"plus and colon", {{"user", Dictionary{{"email", "a+b:c@d"}}}}, "user[email]=a%2Bb%3Ac%40d"},
        {"non-ASCII as UTF-8 bytes", {{"name", "Zoë 東"}}, "name=Zo%C3%AB%20%E6%9D%B1"},
        {"numbers and booleans", {{"i", -3}, {"u", 7u}, {"t", true}, {"d", 1.5}}, "d=1.5&i=-3&t=1&u=7"},
        {"escaped keys", {{"a b", "c"}}, "a%20b=c"},
        {"deep nesting", {{"a", Dictionary{{"b", Dictionary{{"c", Array{"x"}}}}}}}, "a[b][c][]=x"},
    };
    for (const auto& c : cases) EXPECT_EQ(query(c.parameters), c.expected) << c.name;
}

TEST(QueryStringEncoder, OtherEncodingsAndUnencodableText) {
    auto latin1 = KLQueryStringFromParametersWithEncoding(Dictionary{{"n", "Zoë"}}, "iso-8859-1");
    ASSERT_TRUE(latin1.ok());
    EXPECT_EQ(latin1.value(), "n=Zo%EB");
    EXPECT_FALSE(KLQueryStringFromParametersWithEncoding(Dictionary{{"n", "東"}}, "iso-8859-1").ok());
    EXPECT_FALSE(KLQueryStringFromParametersWithEncoding(Dictionary{{"n", std::string("\xff\xfe")}}, "utf-8").ok());
}

TEST(BaseURL, GetsItsTrailingSlash) {
    EXPECT_EQ(url::normalizedBaseURL("https://h:8443/api/v1").value(), "https://h:8443/api/v1/");
    EXPECT_EQ(url::normalizedBaseURL("https://h/api/v1/").value(), "https://h/api/v1/");
    EXPECT_EQ(url::normalizedBaseURL("https://h").value(), "https://h");
    EXPECT_EQ(url::normalizedBaseURL("https://h/api?x=1").value(), "https://h/api/?x=1");
    EXPECT_FALSE(url::normalizedBaseURL("not a url").has_value());
    EXPECT_FALSE(url::normalizedBaseURL("ftp://h/x").has_value());

    auto client = KLHTTPClient::clientWithBaseURL("https://127.0.0.1:4443/api/v1");
    EXPECT_EQ(client->baseURL(), "https://127.0.0.1:4443/api/v1/");
    EXPECT_EQ(client->requestWithMethod("GET", "hosts", std::nullopt).url, "https://127.0.0.1:4443/api/v1/hosts");
}

TEST(DefaultHeaders, AcceptLanguageWeightsAndLocale) {
    EXPECT_EQ(KLAcceptLanguageHeaderValue({"xx", "yy"}), "xx;q=1, yy;q=0.9");
    EXPECT_EQ(KLAcceptLanguageHeaderValue({"a", "b", "c", "d", "e", "f", "g", "h"}),
              "a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");

    ::setenv("LANGUAGE", "fr_CH.UTF-8:de::fr_CH", 1);
    EXPECT_EQ(KLPreferredLanguages(), (std::vector<std::string>{"fr-CH", "de"}));
    ::unsetenv("LANGUAGE");
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(KLPreferredLanguages(), std::vector<std::string>{"en"});
    ::unsetenv("LC_ALL");

    auto client = KLHTTPClient::clientWithBaseURL("https://example.invalid/");
    EXPECT_TRUE(client->defaultValueForHeader("accept-language").has_value());
    auto agent = client->defaultValueForHeader("User-Agent");
    ASSERT_TRUE(agent.has_value());
    EXPECT_NE(agent->find("/1.0 (Linux "), std::string::npos) << *agent;

    client->setAuthorizationHeaderWithUsername("user", "p\xc3\xa4ss");
    EXPECT_EQ(client->defaultValueForHeader("Authorization").value(), "Basic dXNlcjpww6Rzcw==");
    client->setAuthorizationHeaderWithToken("abc");
    EXPECT_EQ(client->defaultValueForHeader("Authorization").value(), "Token token=\"abc\"");
    client->clearAuthorizationHeader();
    EXPECT_FALSE(client->defaultValueForHeader("Authorization").has_value());
}

class RequestBuilding : public ::testing::Test {
protected:
    std::shared_ptr<KLHTTPClient> client = KLHTTPClient::clientWithBaseURL("https://127.0.0.1:4443/api/v1/");
};

TEST_F(RequestBuilding, ParametersGoIntoTheQueryForGetHeadAndDelete) {
    EXPECT_EQ(client->requestWithMethod("GET", "hosts", std::nullopt).url, "https://127.0.0.1:4443/api/v1/hosts");
    EXPECT_EQ(client->requestWithMethod("GET", "hosts", Dictionary{}).url, "https://127.0.0.1:4443/api/v1/hosts?");
    EXPECT_EQ(client->requestWithMethod("GET", "hosts?x=1", Dictionary{{"y", 2}}).url,
              "https://127.0.0.1:4443/api/v1/hosts?x=1&y=2");
    for (const char* method : {"HEAD", "DELETE"}) {
        auto request = client->requestWithMethod(method, "hosts/3", Dictionary{{"force", true}});
        EXPECT_EQ(request.url, "https://127.0.0.1:4443/api/v1/hosts/3?force=1") << method;
        EXPECT_FALSE(request.HTTPBody.has_value()) << method;
        EXPECT_EQ(request.valueForHTTPHeaderField("Content-Type"), nullptr) << method;
    }
    // Only the exact upper-case names put parameters in the query.
    EXPECT_TRUE(client->requestWithMethod("delete", "hosts/3", Dictionary{{"a", 1}}).HTTPBody.has_value());
}

TEST_F(RequestBuilding, BodyEncodings) {
    Dictionary user{{"user", Dictionary{{"password", "p"}, {"email", "e"}}}};
    auto form = client->requestWithMethod("POST", "users", user);
    EXPECT_EQ(bodyText(form), "user[email]=e&user[password]=p");
    EXPECT_EQ(*form.valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");

    client->setDefaultHeader("Content-Type", "text/plain");
    client->setParameterEncoding(KLJSONParameterEncoding);
    auto json = client->requestWithMethod("PUT", "users", Dictionary{{"a", Array{1, "x"}}});
    EXPECT_EQ(bodyText(json), R"({"a":[1,"x"]})");
    EXPECT_EQ(*json.valueForHTTPHeaderField("Content-Type"), "application/json; charset=utf-8");

    client->setParameterEncoding(KLPropertyListParameterEncoding);
    auto plist = client->requestWithMethod("POST", "users", Dictionary{{"a", 1}});
    EXPECT_EQ(*plist.valueForHTTPHeaderField("Content-Type"), "application/x-plist; charset=utf-8");
    ASSERT_TRUE(plist.HTTPBody.has_value());
    EXPECT_NE(bodyText(plist).find("<plist"), std::string::npos);
    auto decoded = valueFromPlist(bodyText(plist));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().intOr("a", 0), 1);
}

TEST_F(RequestBuilding, SerialisationFailuresAreKeptInTheRequest) {
    client->setParameterEncoding(KLJSONParameterEncoding);
    auto notJson = client->requestWithMethod("POST", "x", Dictionary{{"n", std::nan("")}});
    EXPECT_TRUE(notJson.bodyError.has_value());
    auto badText = client->requestWithMethod("POST", "x", Dictionary{{"s", std::string("\xc3")}});
    EXPECT_TRUE(badText.bodyError.has_value());
    client->setParameterEncoding(KLPropertyListParameterEncoding);
    EXPECT_TRUE(client->requestWithMethod("POST", "x", Dictionary{{"n", nullptr}}).bodyError.has_value());
    client->setParameterEncoding(KLFormURLEncodedParameterEncoding);
    EXPECT_TRUE(client->requestWithMethod("GET", "x", Dictionary{{"s", std::string("\xff")}}).bodyError.has_value());
    EXPECT_FALSE(client->requestWithMethod("POST", "x", Dictionary{{"s", "fine"}}).bodyError.has_value());
}

TEST_F(RequestBuilding, OperationClassChoice) {
    struct NotAnOperation {};
    EXPECT_FALSE(client->registerHTTPOperationClass<NotAnOperation>());
    EXPECT_TRUE(client->registeredHTTPOperationClassNames().empty());
    EXPECT_TRUE(client->registerHTTPOperationClass<KLJSONRequestOperation>());
    EXPECT_TRUE(client->registerHTTPOperationClass<KLHTTPRequestOperation>());
    EXPECT_TRUE(client->registerHTTPOperationClass<KLJSONRequestOperation>());
    EXPECT_EQ(client->registeredHTTPOperationClassNames(),
              (std::vector<std::string>{"KLJSONRequestOperation", "KLHTTPRequestOperation"}));

    auto make = [&](const KLURLRequest& r) { return client->HTTPRequestOperationWithRequest(r, nullptr, nullptr); };
    auto plain = client->requestWithMethod("GET", "hosts", std::nullopt);
    EXPECT_STREQ(make(plain)->className(), "KLHTTPRequestOperation");  // no "Accept"
    auto dotJson = client->requestWithMethod("GET", "hosts.json", std::nullopt);
    EXPECT_STREQ(make(dotJson)->className(), "KLJSONRequestOperation");
    plain.setValue("text/html, TEXT/JavaScript;q=0.5", "Accept");
    EXPECT_STREQ(make(plain)->className(), "KLJSONRequestOperation");

    auto types = KLContentTypesFromHTTPHeader(plain.valueForHTTPHeaderField("Accept"));
    EXPECT_EQ(*types, (std::set<std::string>{"text/html", "TEXT/JavaScript"}));
    EXPECT_FALSE(KLContentTypesFromHTTPHeader(nullptr).has_value());
}

TEST(OperationState, TransitionTable) {
    using Op = KLURLConnectionOperation;
    const int paused = KLOperationPausedState, ready = KLOperationReadyState, executing = KLOperationExecutingState,
              finished = KLOperationFinishedState;
    EXPECT_TRUE(Op::isAllowedTransition(paused, ready, false));
    EXPECT_FALSE(Op::isAllowedTransition(paused, executing, false));
    EXPECT_FALSE(Op::isAllowedTransition(ready, finished, false));
    EXPECT_TRUE(Op::isAllowedTransition(ready, finished, true));
    EXPECT_TRUE(Op::isAllowedTransition(ready, executing, false));
    EXPECT_FALSE(Op::isAllowedTransition(ready, ready, false));
    EXPECT_TRUE(Op::isAllowedTransition(executing, finished, false));
    EXPECT_FALSE(Op::isAllowedTransition(executing, ready, false));
    for (int to : {paused, ready, executing, finished, 7}) EXPECT_FALSE(Op::isAllowedTransition(finished, to, true));
    EXPECT_TRUE(Op::isAllowedTransition(0, ready, false));
    EXPECT_STREQ(Op::keyPathFromOperationState(executing), "isExecuting");
    EXPECT_STREQ(Op::keyPathFromOperationState(9), "state");
    EXPECT_EQ(KLStringFromIndexSet({200, 204, 205, 206, 300}), "200,204-206,300");
}

}  // namespace
}  // namespace kl
