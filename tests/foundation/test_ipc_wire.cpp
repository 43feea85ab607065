// The IPC wire codec: exact round trips, cutting a stream into frames, and refusing what does not
// fit or exceeds a limit, on both the encoding and the decoding side.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "IPCMalformedFrames.h"
#include "foundation/ipc/IPCWire.h"

namespace kl::ipc {
namespace {

Value sampleMessage() {
    return Value(Dictionary{
        {"command", Value(uint64_t(6))},
        {"signed", Value(std::numeric_limits<int64_t>::min())},
        {"unsigned", Value(std::numeric_limits<uint64_t>::max())},
        {"small", Value(int64_t(1))},
        {"same small, unsigned", Value(uint64_t(1))},
        {"ratio", Value(-0.25)},
        {"flag", Value(true)},
        {"off", Value(false)},
        {"nothing", Value()},
        {"when", Value(Date{1700000000.5})},
        {"email", Value("ü@example.org")},
        {"empty", Value("")},
        {"authorization", Value(Bytes{0, 1, 2, 255})},
        {"hosts_array", Value(Array{Value(Dictionary{{"uuid", Value("A")}, {"status", Value(int64_t(1))}}),
                                    Value(Array{}), Value(Dictionary{})})},
    });
}

Result<Value> roundTrip(const Value& body, FrameKind kind = FrameKind::Message, uint64_t id = 0) {
    auto frame = encodeFrame(kind, id, body);
    if (!frame) return frame.error();
    auto header = decodeFrameHeader(std::span(*frame).first(kFrameHeaderSize));
    if (!header) return header.error();
    EXPECT_EQ(header->kind, kind);
    EXPECT_EQ(header->requestId, id);
    EXPECT_EQ(header->length, frame->size() - kFrameHeaderSize);
    return decodeFrameBody(std::span(*frame).subspan(kFrameHeaderSize));
}

TEST(IPCWire, RoundTripKeepsEveryTypeExactly) {
    Value message = sampleMessage();
    auto decoded = roundTrip(message, FrameKind::Request, 42);
    ASSERT_TRUE(decoded.ok()) << decoded.error().description();
    EXPECT_EQ(*decoded, message);  // exact: int 1 and uint 1 stay apart
    EXPECT_TRUE(decoded->get("small")->isInt());
    EXPECT_TRUE(decoded->get("same small, unsigned")->isUInt());
    // Key order survives too.
    std::vector<std::string> keys;
    for (const auto& [key, value] : *decoded->asDictionary()) keys.push_back(key);
    EXPECT_EQ(keys.front(), "command");
    EXPECT_EQ(keys.back(), "hosts_array");
}

TEST(IPCWire, FramesFedByteByByteComeOutWhole) {
    auto first = encodeFrame(FrameKind::Request, 1, sampleMessage());
    auto second = encodeFrame(FrameKind::Reply, 1, Value(Dictionary{{"succeeded", Value(true)}}));
    ASSERT_TRUE(first.ok() && second.ok());
    Bytes stream = *first;
    stream.insert(stream.end(), second->begin(), second->end());

    FrameReader reader;
    std::vector<Frame> frames;
    for (uint8_t byte : stream) {
        reader.append(&byte, 1);
        Frame frame;
        std::string error;
        auto status = reader.next(frame, error);
        ASSERT_NE(status, FrameReader::Status::Bad) << error;
        if (status == FrameReader::Status::GotFrame) frames.push_back(std::move(frame));
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].body, sampleMessage());
    EXPECT_EQ(frames[0].wireSize, first->size());
    EXPECT_EQ(frames[1].kind, FrameKind::Reply);
    EXPECT_EQ(frames[1].body.get("succeeded")->asBool(), true);
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(IPCWire, MalformedFramesAreRefusedWithAReason) {
    for (const auto& bad : test::malformedFrames()) {
        SCOPED_TRACE(bad.name);
        FrameReader reader;
        reader.append(bad.bytes.data(), bad.bytes.size());
        Frame frame;
        std::string error;
        EXPECT_EQ(reader.next(frame, error), FrameReader::Status::Bad);
        EXPECT_NE(error.find(bad.reason), std::string::npos) << error;
    }
}

TEST(IPCWire, LimitsApplyToTheSenderAsWell) {
    Value deep = Value(Dictionary{});
    for (unsigned i = 0; i <= kMaxNestingDepth; ++i) deep = Value(Array{deep});
    struct Case {
        const char* name;
        Value body;
    } cases[] = {
        {"not a dictionary", Value(Array{})},
        {"too deep", Value(Dictionary{{"a", deep}})},
        {"too large", Value(Dictionary{{"a", Value(std::string(kMaxFrameBody, 'x'))}})},
        {"NUL in a key", Value(Dictionary{{std::string("a\0b", 3), Value()}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(encodeFrame(FrameKind::Message, 0, c.body).ok());
    }
    // Exactly at the depth limit is still fine: the innermost dictionary sits at depth 32.
    Value atLimit = Value(Dictionary{});
    for (unsigned i = 1; i < kMaxNestingDepth; ++i) atLimit = Value(Array{atLimit});
    auto decoded = roundTrip(Value(Dictionary{{"a", atLimit}}));
    ASSERT_TRUE(decoded.ok()) << decoded.error().description();
    EXPECT_EQ(*decoded->get("a"), atLimit);
}

// A body whose dictionaries would cost too much to build is refused before it is built; the
// same dictionaries are refused by the encoder, so a well-behaved sender never trips the peer.
TEST(IPCWire, HugeDictionariesAreRefusedOnBothSides) {
    const uint32_t keys = 6000;  // 6000*6000/2 comparisons: over the budget
    Bytes body{10};
    test::putLE(body, keys, 4);
    for (uint32_t i = 0; i < keys; ++i) {
        std::string key = std::to_string(i);
        test::putLE(body, key.size(), 4);
        body.insert(body.end(), key.begin(), key.end());
        body.push_back(0);
    }
    auto decoded = decodeFrameBody(body);
    ASSERT_FALSE(decoded.ok());
    EXPECT_NE(decoded.error().description().find("too many keys"), std::string::npos);

    Dictionary big;
    for (uint32_t i = 0; i < keys; ++i) big.set(std::to_string(i), Value());
    EXPECT_FALSE(encodeFrame(FrameKind::Message, 0, Value(big)).ok());

    Dictionary fine;
    for (uint32_t i = 0; i < 2000; ++i) fine.set(std::to_string(i), Value(int64_t(i)));
    auto ok = roundTrip(Value(fine));
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok->asDictionary()->size(), 2000u);
}

// {a: [n nulls]} costs one wire byte per element and a whole Value each once decoded: the count an
// array may have grows with the body, refused past that on both sides, and the size a frame
// reports decoded is what it takes in memory, not its wire size.
TEST(IPCWire, ElementsAreCappedInProportionToTheBody) {
    auto nulls = test::arrayOfNulls;
    size_t decoded = 0;
    Bytes small = nulls(1000);
    ASSERT_TRUE(decodeFrameBody(small, &decoded).ok());
    EXPECT_GE(decoded, 1000 * sizeof(Value));

    Bytes flood = nulls(1 << 20);
    auto refused = decodeFrameBody(flood);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().description().find("elements"), std::string::npos) << refused.error().description();
    EXPECT_FALSE(encodeFrame(FrameKind::Message, 0, Value(Dictionary{{"a", Value(Array(1 << 20))}})).ok());

    // At the cap it still goes through, one more is refused.
    uint32_t atCap = 0;
    while (maxElementsPerContainer(nulls(atCap + 1).size()) >= atCap + 1) ++atCap;
    EXPECT_TRUE(decodeFrameBody(nulls(atCap)).ok());
    EXPECT_FALSE(decodeFrameBody(nulls(atCap + 1)).ok());
}

}  // namespace
}  // namespace kl::ipc
