// Multipart form bodies: the exact bytes, the names that must not break out of their quotes, file
// and stream parts, and uploads to the stand-in account server, whose own MIME parser reads them.
#include <gtest/gtest.h>

#include <fstream>

#include "AccountServer.h"
#include "HttpTestSupport.h"
#include "foundation/Base64.h"
#include "http/KLURLErrors.h"
#include "platform/Executors.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using test::Outcome;

const std::string kBoundary = "Boundary+0xAbCdEfGbOuNdArY";

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Reads a body stream to its end in small, odd-sized pieces, as a transfer might.
std::string drain(const std::shared_ptr<KLInputStream>& stream) {
    std::string out;
    uint8_t buffer[7];
    stream->open();
    for (int reads = 0; reads < 1000000; ++reads) {
        auto result = stream->read(buffer, sizeof buffer);
        if (result.status == KLStreamReadResult::Read) out.append(reinterpret_cast<char*>(buffer), result.length);
        else if (result.status == KLStreamReadResult::End) return out;
        else {
            ADD_FAILURE() << "stream stopped with status " << int(result.status);
            return out;
        }
    }
    ADD_FAILURE() << "stream never ended";
    return out;
}

std::shared_ptr<KLHTTPClient> plainClient() { return KLHTTPClient::clientWithBaseURL("https://127.0.0.1:1/api/v1/"); }

std::string fileURL(const std::filesystem::path& path) {
    std::string url = "file://";
    for (char c : path.string()) url += c == ' ' ? std::string("%20") : std::string(1, c);
    return url;
}

TEST(MultipartBody, NoPartsLeavesTheRequestAlone) {
    auto client = plainClient();
    KLURLRequest request = client->multipartFormRequestWithMethod("POST", "uploads", std::nullopt, nullptr);
    EXPECT_EQ(request.HTTPBodyStream, nullptr);
    EXPECT_FALSE(request.HTTPBody.has_value());
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Type"), nullptr);
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), nullptr);
    EXPECT_FALSE(request.bodyError.has_value());
}

TEST(MultipartBody, OneFormPartHasItsExactBytesAndLength) {
    auto client = plainClient();
    KLURLRequest request = client->multipartFormRequestWithMethod("POST", "uploads", Dictionary{{"a", 1}}, nullptr);
    const std::string expected = "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--" + kBoundary +
                                 "--\r\n\r\n";
    ASSERT_NE(request.HTTPBodyStream, nullptr);
    EXPECT_EQ(*request.valueForHTTPHeaderField("Content-Type"), "multipart/form-data; boundary=" + kBoundary);
    EXPECT_EQ(*request.valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(request.HTTPBodyStream->length(), expected.size());
    auto copy = request.HTTPBodyStream->copy();
    EXPECT_EQ(drain(request.HTTPBodyStream), expected);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(drain(copy), expected);  // a copy reads from the start
}

TEST(MultipartBody, ParametersNestAndTypeLikeAQuery) {
    auto client = plainClient();
    Dictionary parameters{{"user", Dictionary{{"name", "Ann"}, {"Age", 7}}}, {"blob", Bytes{0, 0xff}}, {"none", nullptr}};
    KLURLRequest request = client->multipartFormRequestWithMethod("PUT", "me", parameters, nullptr);
    EXPECT_EQ(request.HTTPMethod, "PUT");
    std::string body = drain(request.HTTPBodyStream);
    size_t blob = body.find("name=\"blob\"\r\n\r\n" + std::string("\0\xff", 2) + "\r\n");
    size_t none = body.find("name=\"none\"\r\n\r\n\r\n");
    size_t age = body.find("name=\"user[Age]\"\r\n\r\n7\r\n");
    size_t name = body.find("name=\"user[name]\"\r\n\r\nAnn\r\n");
    EXPECT_NE(blob, std::string::npos);
    EXPECT_NE(none, std::string::npos);
    EXPECT_NE(age, std::string::npos);
    EXPECT_NE(name, std::string::npos);
    EXPECT_TRUE(blob < none && none < age && age < name) << body;  // keys sorted as in a query
}

TEST(MultipartBody, NamesCannotBreakOutOfTheirQuotes) {
    struct Case {
        std::string name;
        std::string fileName;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"a\"b", "f.txt", "form-data; name=\"a%22b\"; filename=\"f.txt\""},
        {"x\r\nX-Injected: 1", "f", "form-data; name=\"x%0D%0AX-Injected: 1\"; filename=\"f\""},
        {"n", "evil\"; name=\"other\r\n\r\nbody", "form-data; name=\"n\"; filename=\"evil%22; name=%22other%0D%0A%0D%0Abody\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        KLStreamingMultipartFormData form(KLURLRequest{}, "utf-8");
        form.appendPartWithFileData(bytes("data"), c.name, c.fileName, "text/plain");
        std::string body = drain(form.requestByFinalizingMultipartFormData().HTTPBodyStream);
        EXPECT_NE(body.find("\r\nContent-Disposition: " + c.expected + "\r\nContent-Type: text/plain\r\n\r\ndata\r\n"),
                  std::string::npos)
            << body;
        EXPECT_EQ(body.find("\nX-Injected"), std::string::npos);
    }

    // Raw part headers and media types with a line break are refused, and the request with them.
    KLHTTPHeaders badValue;
    badValue.set("Content-Disposition", "form-data; name=\"a\"\r\nX-Injected: 1");
    KLHTTPHeaders badName;
    badName.set("X-A\nB", "1");
    for (const auto& headers : {badValue, badName}) {
        KLStreamingMultipartFormData form(KLURLRequest{}, "utf-8");
        form.appendPartWithFormData(bytes("fine"), "fine");
        form.appendPartWithHeaders(headers, bytes("x"));
        KLURLRequest request = form.requestByFinalizingMultipartFormData();
        ASSERT_TRUE(request.bodyError.has_value());
        EXPECT_EQ(request.bodyError->domain(), kKLSerializationErrorDomain);
        EXPECT_EQ(drain(request.HTTPBodyStream).find("X-Injected"), std::string::npos);
    }
    KLStreamingMultipartFormData form(KLURLRequest{}, "utf-8");
    form.appendPartWithFileData(bytes("x"), "f", "f.bin", "text/plain\r\nX-Injected: 1");
    EXPECT_TRUE(form.requestByFinalizingMultipartFormData().bodyError.has_value());
}

TEST(MultipartBody, FilePartsNeedAReadableFileURL) {
    auto dir = test::makeTempDir("multipart");
    auto path = dir / "my photo.png";
    std::ofstream(path, std::ios::binary) << std::string("\x89PNG\r\n\0data", 11);

    KLStreamingMultipartFormData form(KLURLRequest{}, "utf-8");
    Error error;
    EXPECT_FALSE(form.appendPartWithFileURL("https://example.com/a.png", "f", &error));
    EXPECT_EQ(error.domain(), KLNetworkingErrorDomain);
    EXPECT_EQ(error.code(), kKLURLErrorBadURL);
    EXPECT_EQ(error.userInfo().find(kKLLocalizedFailureReasonErrorKey)->asString()->c_str(),
              std::string("Expected URL to be a file URL"));
    EXPECT_FALSE(form.appendPartWithFileURL(fileURL(dir / "missing.png"), "f", &error));
    EXPECT_EQ(*error.userInfo().find(kKLLocalizedFailureReasonErrorKey)->asString(), "File URL not reachable.");
    EXPECT_FALSE(form.appendPartWithFileURL(fileURL(dir), "f", &error));  // a folder is no file to send
    EXPECT_EQ(form.requestByFinalizingMultipartFormData().HTTPBodyStream, nullptr);  // nothing was appended

    ASSERT_TRUE(form.appendPartWithFileURL(fileURL(path), "photo", &error));
    KLURLRequest request = form.requestByFinalizingMultipartFormData();
    std::string body = drain(request.HTTPBodyStream);
    EXPECT_NE(body.find("Content-Disposition: form-data; name=\"photo\"; filename=\"my photo.png\"\r\n"
                        "Content-Type: image/png\r\n\r\n" +
                        std::string("\x89PNG\r\n\0data", 11) + "\r\n--"),
              std::string::npos);
    EXPECT_EQ(*request.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
}

TEST(MultipartBody, StreamPartWaitsForItsEndAndMustKeepItsLength) {
    // Nothing there yet is no end: the next part must not start.
    auto pipe = KLPipeInputStream::create();
    KLStreamingMultipartFormData form(KLURLRequest{}, "utf-8");
    form.appendPartWithInputStream(pipe, "s", "s.txt", 6, "text/plain");
    form.appendPartWithFormData(bytes("after"), "next");
    auto body = form.requestByFinalizingMultipartFormData().HTTPBodyStream;
    uint8_t buffer[4096];
    auto first = body->read(buffer, sizeof buffer);
    ASSERT_EQ(first.status, KLStreamReadResult::Read);
    std::string sent(reinterpret_cast<char*>(buffer), first.length);
    EXPECT_TRUE(sent.ends_with("Content-Type: text/plain\r\n\r\n")) << sent;
    EXPECT_EQ(body->read(buffer, sizeof buffer).status, KLStreamReadResult::NotYet);
    bool told = false;
    body->notifyWhenReadable([&] { told = true; });
    pipe->write("abc");
    EXPECT_TRUE(told);
    auto more = body->read(buffer, sizeof buffer);
    ASSERT_EQ(more.status, KLStreamReadResult::Read);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), more.length), "abc");
    EXPECT_EQ(body->read(buffer, sizeof buffer).status, KLStreamReadResult::NotYet);
    pipe->write("def");
    pipe->finishWriting();
    std::string rest = drain(body);
    EXPECT_TRUE(rest.starts_with("def\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"next\"")) << rest;

    // A stream that ends early or runs long would shift every later boundary: the read fails.
    for (std::string given : {"short", "far too long"}) {
        SCOPED_TRACE(given);
        auto stream = KLPipeInputStream::create();
        stream->write(given);
        stream->finishWriting();
        KLStreamingMultipartFormData bad(KLURLRequest{}, "utf-8");
        bad.appendPartWithInputStream(stream, "s", "s.txt", 8, "text/plain");
        auto badBody = bad.requestByFinalizingMultipartFormData().HTTPBodyStream;
        KLStreamReadResult result;
        do result = badBody->read(buffer, sizeof buffer);
        while (result.status == KLStreamReadResult::Read);
        EXPECT_EQ(result.status, KLStreamReadResult::Failed);
        ASSERT_TRUE(badBody->streamError().has_value());
        EXPECT_EQ(badBody->streamError()->code(), kKLURLErrorRequestBodyStreamExhausted);
        EXPECT_EQ(badBody->copy(), nullptr);  // a one-shot stream cannot be sent twice
    }
}

class MultipartUpload : public test::SharedServerTest {
protected:
    std::shared_ptr<Outcome> send(const KLURLRequest& request) {
        auto outcome = std::make_shared<Outcome>();
        auto operation = client->HTTPRequestOperationWithRequest(request, test::recordSuccess(outcome), test::recordFailure(outcome));
        client->enqueueHTTPRequestOperation(operation);
        return outcome;
    }

    void scriptOK(const std::string& path) {
        test::ScriptedReply reply;
        reply.method = "POST";
        reply.path = path;
        reply.body = "{}";
        server->script(reply);
    }

    // The parts the server's MIME parser found in the last request to path.
    Array partsOf(const std::string& path) {
        Value found;
        for (const auto& entry : server->requests())
            if (entry.stringOr("path", "") == path) found = entry;
        const Value* parts = found.get("parts");
        return parts && parts->asArray() ? *parts->asArray() : Array{};
    }

    static std::string partBody(const Value& part) {
        std::string encoded = part.stringOr("body_base64", "");
        size_t length = 0;
        void* decoded = NewBase64Decode(encoded.data(), encoded.size(), &length);
        std::string body(static_cast<char*>(decoded), length);
        std::free(decoded);
        return body;
    }

};

TEST_F(MultipartUpload, ServerReadsMixedFormFileDataAndStreamParts) {
    auto dir = test::makeTempDir("upload");
    std::string fileBytes;
    for (int i = 0; i < 20000; ++i) fileBytes += char(i * 31 % 256);  // binary, with CR, LF and NUL
    std::ofstream(dir / "report.txt", std::ios::binary) << fileBytes;

    // The stream part's bytes arrive later, in pieces, while the upload is under way.
    auto pipe = KLPipeInputStream::create();
    const std::vector<std::string> pieces = {"first piece;", "second piece;", "last piece"};
    for (size_t i = 0; i < pieces.size(); ++i)
        mainLoop().after(std::chrono::milliseconds(50 * (i + 1)), [pipe, piece = pieces[i], last = i + 1 == pieces.size()] {
            pipe->write(piece);
            if (last) pipe->finishWriting();
        });
    size_t streamLength = pieces[0].size() + pieces[1].size() + pieces[2].size();

    bool fileAppended = false;
    KLURLRequest request = client->multipartFormRequestWithMethod(
        "POST", "uploads", Dictionary{{"note", "caf\xc3\xa9 & more"}, {"user", Dictionary{{"name", "Ann"}}}},
        [&](KLMultipartFormData& form) {
            Error error;
            fileAppended = form.appendPartWithFileURL(fileURL(dir / "report.txt"), "report", &error);
            form.appendPartWithFileData(bytes("{\"k\":1}"), "meta", "meta.json", "application/json");
            form.appendPartWithInputStream(pipe, "live", "live.log", streamLength, "text/plain");
        });
    ASSERT_TRUE(fileAppended);
    scriptOK("/api/v1/uploads");
    auto outcome = send(request);
    ASSERT_TRUE(test::runUntilAnswered({outcome}));
    ASSERT_EQ(outcome->successCalls, 1) << (outcome->error ? outcome->error->description() : "");

    Array parts = partsOf("/api/v1/uploads");
    ASSERT_EQ(parts.size(), 5u);
    struct Expected {
        std::string name;
        std::optional<std::string> fileName;
        std::string contentType;
        std::string body;
    };
    const std::vector<Expected> expected = {
        {"note", std::nullopt, "", "caf\xc3\xa9 & more"},
        {"user[name]", std::nullopt, "", "Ann"},
        {"report", "report.txt", "text/plain", fileBytes},
        {"meta", "meta.json", "application/json", "{\"k\":1}"},
        {"live", "live.log", "text/plain", pieces[0] + pieces[1] + pieces[2]},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(parts[i].stringOr("name", ""), expected[i].name);
        const Value* fileName = parts[i].get("filename");
        EXPECT_EQ(fileName && fileName->asString() ? std::optional<std::string>(*fileName->asString()) : std::nullopt,
                  expected[i].fileName);
        EXPECT_EQ(parts[i].stringOr("content_type", ""), expected[i].contentType);
        EXPECT_EQ(partBody(parts[i]), expected[i].body);
    }
}

TEST_F(MultipartUpload, RedirectSendsTheWholeBodyAgain) {
    test::ScriptedReply redirect;
    redirect.method = "POST";
    redirect.path = "/api/v1/old";
    redirect.status = 307;
    redirect.headers = Dictionary{{"Location", server->baseURL() + "new"}};
    server->script(redirect);
    scriptOK("/api/v1/new");
    KLURLRequest request = client->multipartFormRequestWithMethod("POST", "old", Dictionary{{"a", "1"}, {"b", "2"}}, nullptr);
    auto outcome = send(request);
    ASSERT_TRUE(test::runUntilAnswered({outcome}));
    EXPECT_EQ(outcome->successCalls, 1) << (outcome->error ? outcome->error->description() : "");
    for (const char* path : {"/api/v1/old", "/api/v1/new"}) {
        Array parts = partsOf(path);
        ASSERT_EQ(parts.size(), 2u) << path;
        EXPECT_EQ(partBody(parts[1]), "2");
    }
}

TEST_F(MultipartUpload, StreamFailureFailsTheRequest) {
    auto pipe = KLPipeInputStream::create();
    pipe->write("some bytes, then trouble");
    KLURLRequest request = client->multipartFormRequestWithMethod("POST", "uploads", std::nullopt, [&](KLMultipartFormData& form) {
        form.appendPartWithInputStream(pipe, "live", "live.log", 1000, "text/plain");
    });
    scriptOK("/api/v1/uploads");
    auto outcome = send(request);
    mainLoop().after(std::chrono::milliseconds(100), [pipe] { pipe->failWriting(Error::withDescription("test.source", 7, "disk gone")); });
    ASSERT_TRUE(test::runUntilAnswered({outcome}));
    test::drainMainLoop();
    EXPECT_EQ(outcome->successCalls, 0);
    ASSERT_EQ(outcome->failureCalls, 1);
    EXPECT_EQ(outcome->error->domain(), "test.source");
    EXPECT_EQ(outcome->error->code(), 7);
    EXPECT_EQ(outcome->error->userInfo().find(kKLURLErrorFailingURLErrorKey)->asString()->find("/api/v1/uploads") !=
                  std::string::npos,
              true);
}

TEST_F(MultipartUpload, ThrottlingWaitsWithoutHoldingTheNetworkThread) {
    auto throttled = [&](size_t packet, double delay, const std::string& data) {
        return client->multipartFormRequestWithMethod("POST", "uploads", std::nullopt, [&](KLMultipartFormData& form) {
            form.appendPartWithFileData(bytes(data), "blob", "blob.bin", "application/octet-stream");
            form.throttleBandwidthWithPacketSize(packet, delay);
        });
    };
    // A long pause between packets: another request gets through meanwhile, and a cancel ends the
    // waiting upload at once.
    auto slow = send(throttled(1024, 60.0, std::string(4096, 'x')));
    test::ScriptedReply quick;
    quick.path = "/api/v1/quick";
    quick.body = "{}";
    server->script(quick);
    auto other = std::make_shared<Outcome>();
    client->getPath("quick", std::nullopt, test::recordSuccess(other), test::recordFailure(other));
    ASSERT_TRUE(test::runUntilAnswered({other}));
    EXPECT_EQ(other->successCalls, 1);
    EXPECT_EQ(slow->calls(), 0);
    client->cancelAllHTTPOperations();
    ASSERT_TRUE(test::runUntilAnswered({slow}));
    ASSERT_EQ(slow->failureCalls, 1);
    EXPECT_EQ(slow->error->code(), kKLURLErrorCancelled);

    // Short pauses: the body arrives whole.
    std::string data;
    for (int i = 0; i < 3000; ++i) data += char('a' + i % 26);
    scriptOK("/api/v1/uploads");
    auto paced = send(throttled(512, 0.005, data));
    ASSERT_TRUE(test::runUntilAnswered({paced}));
    EXPECT_EQ(paced->successCalls, 1);
    Array parts = partsOf("/api/v1/uploads");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(partBody(parts[0]), data);
}

}  // namespace
}  // namespace kl
