// Property-list and XML replies: which requests the operations take, parsing once, refused types
// left unparsed, and XML read without loading anything external.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "AccountServer.h"
#include "HttpTestSupport.h"
#include "http/KLPropertyListRequestOperation.h"
#include "http/KLURLErrors.h"
#include "http/KLXMLRequestOperation.h"
#include "platform/Executors.h"
#include "platform/ValuePlist.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

KLURLRequest requestFor(const std::string& url, const char* accept = nullptr) {
    KLURLRequest request;
    request.url = url;
    if (accept) request.setValue(accept, "Accept");
    return request;
}

TEST(ResponseFormats, OperationsTakeRequestsByExtensionOrAccept) {
    struct Case {
        KLURLRequest request;
        bool propertyList;
        bool xml;
    };
    const std::vector<Case> cases = {
        {requestFor("https://h/a/list.plist"), true, false},
        {requestFor("https://h/a/list", "application/x-plist"), true, false},
        {requestFor("https://h/a/feed.xml"), false, true},
        {requestFor("https://h/a/feed", "text/html, text/xml;q=0.5"), false, true},
        {requestFor("https://h/a/feed", "application/xml"), false, true},
        {requestFor("https://h/a/data.json"), false, false},
        {requestFor("https://h/a/data"), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.url);
        EXPECT_EQ(KLPropertyListRequestOperation::canProcessRequest(c.request), c.propertyList);
        EXPECT_EQ(KLXMLRequestOperation::canProcessRequest(c.request), c.xml);
    }
    auto client = KLHTTPClient::clientWithBaseURL("https://127.0.0.1:1/api/v1/");
    client->registerHTTPOperationClass<KLPropertyListRequestOperation>();
    client->registerHTTPOperationClass<KLXMLRequestOperation>();
    EXPECT_STREQ(client->HTTPRequestOperationWithRequest(requestFor("https://h/x.plist"), nullptr, nullptr)->className(),
                 "KLPropertyListRequestOperation");
    EXPECT_STREQ(client->HTTPRequestOperationWithRequest(requestFor("https://h/x.xml"), nullptr, nullptr)->className(),
                 "KLXMLRequestOperation");
}

class ResponseFormatsServer : public test::SharedServerTest {
protected:
    void SetUp() override {
        SharedServerTest::SetUp();
        client->registerHTTPOperationClass<KLPropertyListRequestOperation>();
        client->registerHTTPOperationClass<KLXMLRequestOperation>();
    }

    void script(const std::string& path, const std::string& contentType, const std::string& body, int status = 200) {
        test::ScriptedReply reply;
        reply.path = "/api/v1/" + path;
        reply.status = status;
        reply.contentType = contentType;
        reply.body = body;
        server->script(reply);
    }

    KLURLRequest request(const std::string& path) { return client->requestWithMethod("GET", path, std::nullopt); }

    std::shared_ptr<test::Outcome> get(const std::string& path) {
        auto outcome = std::make_shared<test::Outcome>();
        client->getPath(path, std::nullopt, test::recordSuccess(outcome), test::recordFailure(outcome));
        EXPECT_TRUE(test::runUntilAnswered({outcome})) << path;
        test::drainMainLoop();
        EXPECT_EQ(outcome->calls(), 1);
        return outcome;
    }

};

TEST_F(ResponseFormatsServer, XmlAndBinaryPropertyListsParse) {
    Value expected = Dictionary{{"name", "Ann"}, {"hosts", Array{1, 2}}, {"key", Bytes{1, 2, 3}}};
    struct Case {
        PlistFormat format;
        KLPropertyListFormat found;
    };
    for (const auto& c : {Case{PlistFormat::Xml, KLPropertyListXMLFormat_v1_0}, Case{PlistFormat::Binary, KLPropertyListBinaryFormat_v1_0}}) {
        SCOPED_TRACE(int(c.found));
        Bytes plist = valueToPlist(expected, c.format).value();
        script("list.plist", "application/x-plist", std::string(plist.begin(), plist.end()));
        auto outcome = get("list.plist");
        ASSERT_EQ(outcome->successCalls, 1) << outcome->error->description();
        EXPECT_TRUE(outcome->onMainLoop);
        EXPECT_EQ(outcome->object, expected);
        auto op = std::dynamic_pointer_cast<KLPropertyListRequestOperation>(outcome->operation);
        ASSERT_NE(op, nullptr);
        EXPECT_EQ(op->propertyListFormat(), c.found);
        // Made once: every caller, on any thread, gets the same value.
        std::vector<std::thread> readers;
        std::vector<Value> seen(4);
        for (int i = 0; i < 4; ++i) readers.emplace_back([&, i] { seen[i] = op->responsePropertyList(); });
        for (auto& reader : readers) reader.join();
        for (const auto& value : seen) EXPECT_EQ(value, expected);
    }
}

TEST_F(ResponseFormatsServer, PropertyListFailures) {
    // A ".plist" path answered with HTML: refused by type, and the body is never parsed.
    script("list.plist", "text/html", "<html>not a list</html>");
    auto refused = get("list.plist");
    ASSERT_EQ(refused->failureCalls, 1);
    EXPECT_EQ(refused->error->domain(), KLNetworkingErrorDomain);
    EXPECT_EQ(refused->error->code(), kKLURLErrorCannotDecodeContentData);
    auto op = std::dynamic_pointer_cast<KLPropertyListRequestOperation>(refused->operation);
    ASSERT_NE(op, nullptr);
    EXPECT_FALSE(op->propertyListFormat().has_value());
    EXPECT_FALSE(op->propertyListError().has_value());

    // The right type with a broken body: the parse error.
    script("broken.plist", "application/x-plist", "<plist><dict><key>a</key>");
    auto broken = get("broken.plist");
    ASSERT_EQ(broken->failureCalls, 1);
    EXPECT_EQ(broken->error->domain(), kPlistErrorDomain);

    // An empty body: success with nothing.
    script("empty.plist", "application/x-plist", "", 204);
    auto empty = get("empty.plist");
    EXPECT_EQ(empty->successCalls, 1);
    EXPECT_TRUE(empty->object.isNull());

    // The factory hands request, response and the list (nothing on failure).
    script("list.plist", "text/html", "<html/>");
    bool failed = false;
    auto factoryOp = KLPropertyListRequestOperation::propertyListRequestOperationWithRequest(
        request("list.plist"), nullptr, [&](const KLURLRequest& r, const auto& response, const Error& error, const Value& list) {
            failed = true;
            EXPECT_EQ(r.url, server->baseURL() + "list.plist");
            EXPECT_EQ(response->statusCode, 200);
            EXPECT_EQ(error.code(), kKLURLErrorCannotDecodeContentData);
            EXPECT_TRUE(list.isNull());
        });
    client->enqueueHTTPRequestOperation(factoryOp);
    EXPECT_TRUE(mainLoop().runUntil([&] { return failed; }, std::chrono::seconds(20)));
}

struct RecordingDelegate : KLXMLParserDelegate {
    std::vector<std::string> events;
    void didStartElement(KLXMLParser&, const std::string& name, const std::string& ns, const Attributes& attributes) override {
        std::string event = "<" + name;
        if (!ns.empty()) event += " ns=" + ns;
        for (const auto& [key, value] : attributes) event += " " + key + "=" + value;
        events.push_back(event + ">");
    }
    void didEndElement(KLXMLParser&, const std::string& name, const std::string&) override { events.push_back("</" + name + ">"); }
    void foundCharacters(KLXMLParser&, const std::string& text) override { events.push_back(text); }
};

TEST_F(ResponseFormatsServer, XmlParserIsHandedOverUnrun) {
    script("feed.xml", "text/xml", R"(<?xml version="1.0"?><f:feed xmlns:f="urn:f" v="2"><item>caf&#233; &amp; tea</item></f:feed>)");
    std::shared_ptr<KLXMLParser> handed;
    bool done = false;
    auto op = KLXMLRequestOperation::XMLParserRequestOperationWithRequest(
        request("feed.xml"),
        [&](const KLURLRequest&, const auto&, const std::shared_ptr<KLXMLParser>& parser) {
            handed = parser;
            done = true;
        },
        nullptr);
    client->enqueueHTTPRequestOperation(op);
    ASSERT_TRUE(mainLoop().runUntil([&] { return done; }, std::chrono::seconds(20)));
    ASSERT_NE(handed, nullptr);
    EXPECT_EQ(handed, op->responseXMLParser());
    EXPECT_FALSE(handed->parserError().has_value());  // not run yet
    auto delegate = std::make_shared<RecordingDelegate>();
    handed->setDelegate(delegate);
    EXPECT_TRUE(handed->parse());
    const std::vector<std::string> expected = {"<f:feed ns=urn:f v=2>", "<item>", "caf\xc3\xa9 & tea", "</item>", "</f:feed>"};
    EXPECT_EQ(delegate->events, expected);

    // An empty body: success with no parser.
    script("empty.xml", "application/xml", "", 204);
    auto empty = get("empty.xml");
    EXPECT_EQ(empty->successCalls, 1);
    EXPECT_EQ(std::dynamic_pointer_cast<KLXMLRequestOperation>(empty->operation)->responseXMLParser(), nullptr);

    // Broken XML: the parser reports it when run.
    script("broken.xml", "text/xml", "<a><b></a>");
    auto broken = get("broken.xml");
    ASSERT_EQ(broken->successCalls, 1);
    auto parser = std::dynamic_pointer_cast<KLXMLRequestOperation>(broken->operation)->responseXMLParser();
    EXPECT_FALSE(parser->parse());
    ASSERT_TRUE(parser->parserError().has_value());
    EXPECT_EQ(parser->parserError()->domain(), kKLXMLParserErrorDomain);
}

TEST_F(ResponseFormatsServer, XmlDocumentsNeverLoadExternalEntities) {
    auto secret = test::makeTempDir("xml") / "secret.txt";
    std::ofstream(secret) << "SECRET-MARKER";
    std::string document = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY ext SYSTEM \"file://" + secret.string() +
                           "\"><!ENTITY in \"inner\">]><r a=\"&in;\">&in;|&ext;|<c>x</c></r>";
    script("doc.xml", "application/xml", document);
    std::shared_ptr<KLXMLDocument> received;
    bool done = false;
    auto op = KLXMLRequestOperation::XMLDocumentRequestOperationWithRequest(
        request("doc.xml"),
        [&](const KLURLRequest&, const auto&, const std::shared_ptr<KLXMLDocument>& d) {
            received = d;
            done = true;
        },
        [&](const KLURLRequest&, const auto&, const Error& error, const auto&) {
            ADD_FAILURE() << error.description();
            done = true;
        });
    client->enqueueHTTPRequestOperation(op);
    ASSERT_TRUE(mainLoop().runUntil([&] { return done; }, std::chrono::seconds(20)));
    ASSERT_NE(received, nullptr);
    auto root = received->rootElement();
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->name(), "r");
    EXPECT_EQ(root->attribute("a"), "inner");
    EXPECT_EQ(root->stringValue(), "inner||x");
    ASSERT_EQ(root->elementsForName("c").size(), 1u);
    EXPECT_EQ(received->XMLString().find("SECRET-MARKER"), std::string::npos);

    // The event parser over the same bytes reads no more than the document did.
    auto delegate = std::make_shared<RecordingDelegate>();
    KLXMLParser parser(Bytes(document.begin(), document.end()));
    parser.setDelegate(delegate);
    EXPECT_TRUE(parser.parse());
    for (const auto& event : delegate->events) EXPECT_EQ(event.find("SECRET"), std::string::npos) << event;
}

TEST_F(ResponseFormatsServer, XmlDocumentFailures) {
    struct Case {
        const char* name;
        std::string contentType;
        std::string body;
        std::string domain;
    };
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY l0 \"hahahahahahahahahaha\">";
    for (int i = 1; i < 12; ++i)
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + [&] {
            std::string refs;
            for (int k = 0; k < 10; ++k) refs += "&l" + std::to_string(i - 1) + ";";
            return refs;
        }() + "\">";
    laughs += "]><l>&l11;</l>";
    // No nesting for libxml2 to catch: one 4 KB entity referenced 20,000 times (about 64 KB of
    // document) would give 80 MB of text to whoever reads it.
    std::string wide = "<?xml version=\"1.0\"?><!DOCTYPE w [<!ENTITY e \"" + std::string(4096, 'x') + "\">]><w>";
    for (int i = 0; i < 20000; ++i) wide += "&e;";
    wide += "</w>";
    const std::vector<Case> cases = {
        {"not well-formed", "text/xml", "<a><b></a>", kKLXMLParserErrorDomain},
        {"entity expansion bomb", "text/xml", laughs, kKLXMLParserErrorDomain},
        {"one entity referenced many times", "text/xml", wide, kKLXMLParserErrorDomain},
        {"wrong type", "text/html", "<a/>", KLNetworkingErrorDomain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script("doc.xml", c.contentType, c.body);
        std::optional<Error> failure;
        bool done = false;
        auto op = KLXMLRequestOperation::XMLDocumentRequestOperationWithRequest(
            request("doc.xml"),
            [&](const KLURLRequest&, const auto&, const auto&) { done = true; },
            [&](const KLURLRequest&, const auto&, const Error& error, const auto& document) {
                failure = error;
                EXPECT_EQ(document, nullptr);
                done = true;
            });
        client->enqueueHTTPRequestOperation(op);
        ASSERT_TRUE(mainLoop().runUntil([&] { return done; }, std::chrono::seconds(20)));
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->domain(), c.domain) << failure->description();
    }
}

// Each operation may keep a longer (or shorter) body than the client's default: an update
// archive is longer than the default limit, a feed far shorter.
TEST_F(ResponseFormatsServer, AnOperationsOwnBodyLimitHolds) {
    struct Case {
        size_t limit;
        size_t body;
        bool kept;
    };
    const size_t beyondDefault = kKLMaximumResponseBodyLength + 4096;
    for (const auto& c : {Case{1000, 1000, true}, Case{1000, 1001, false}, Case{beyondDefault, beyondDefault, true}}) {
        SCOPED_TRACE(std::to_string(c.limit) + " " + std::to_string(c.body));
        test::ScriptedReply reply;
        reply.path = "/api/v1/blob.bin";
        reply.contentType = "application/octet-stream";
        // Long bodies go out as a repeated kilobyte.
        const bool repeated = c.body % 1024 == 0;
        reply.body = std::string(repeated ? 1024 : c.body, 'b');
        reply.repeat = repeated ? int(c.body / 1024) : 1;
        server->script(reply);
        auto outcome = std::make_shared<test::Outcome>();
        auto op = client->HTTPRequestOperationWithRequest(request("blob.bin"), test::recordSuccess(outcome),
                                                          test::recordFailure(outcome));
        op->setMaximumResponseBodyLength(c.limit);
        client->enqueueHTTPRequestOperation(op);
        ASSERT_TRUE(test::runUntilAnswered({outcome}));
        if (c.kept) {
            ASSERT_EQ(outcome->successCalls, 1) << outcome->error->description();
            ASSERT_TRUE(op->responseData().has_value());
            EXPECT_EQ(op->responseData()->size(), c.body);
        } else {
            ASSERT_EQ(outcome->failureCalls, 1);
            EXPECT_EQ(outcome->error->code(), kKLURLErrorDataLengthExceedsMaximum);
        }
    }
}

}  // namespace
}  // namespace kl
