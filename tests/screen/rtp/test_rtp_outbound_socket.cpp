// The outbound RTP socket: the canned viewer as the server reads it, the fragments of a frame on
// the wire at both loopback destinations, the refusals, the pacing and the BYE on close.
#include <gtest/gtest.h>

#include <numeric>
#include <thread>

#include "RTPTestReceiver.h"
#include "foundation/KLTLogging.h"
#include "screen/protocol/ClientHandshake.h"
#include "screen/rtp/KLNetOutboundRTPSocket.h"
#include "screen/rtp/RTPFragments.h"

namespace kl::test {
namespace {

Bytes pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 31 + 7);
    return bytes;
}

TEST(RTPFragments, CutsPayloadsIntoIndexedFragmentsWithMarkerAndTimestampSteps) {
    struct Case {
        size_t size;
        std::vector<size_t> fragmentBytes;
        std::vector<uint32_t> increments;
    };
    const Case cases[] = {
        {0, {}, {}},
        {1, {1}, {50000}},
        {6000, {6000}, {0}},
        {6001, {6000, 1}, {0, 50000}},
        {12000, {6000, 6000}, {0, 0}},
        {13500, {6000, 6000, 1500}, {0, 0, 50000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes payload = pattern(c.size);
        auto fragments = fragmentRTPPayload(payload);
        ASSERT_TRUE(fragments);
        ASSERT_EQ(fragments->size(), c.fragmentBytes.size());
        Bytes joined;
        for (size_t i = 0; i < fragments->size(); ++i) {
            const RTPFragment& f = (*fragments)[i];
            ASSERT_EQ(f.datagram.size(), 2 + c.fragmentBytes[i]);
            EXPECT_EQ(f.datagram[0], i);
            EXPECT_EQ(f.datagram[1], fragments->size());
            EXPECT_EQ(f.marker, i == 0);
            EXPECT_EQ(f.timestampIncrement, c.increments[i]);
            joined.insert(joined.end(), f.datagram.begin() + 2, f.datagram.end());
        }
        EXPECT_EQ(joined, payload);
    }
}

TEST(RTPFragments, TheCountByteLimitsAFrameTo255Fragments) {
    EXPECT_EQ(fragmentRTPPayload(Bytes(255 * kRTPFragmentPayload))->size(), 255u);
    EXPECT_FALSE(fragmentRTPPayload(Bytes(255 * kRTPFragmentPayload + 1)));
}

// Sockets that send nowhere: destinations on a port nobody reads.
RTPDestinations quietDestinations() { return {{kLoopback1}, 9, -1}; }

TEST(OutboundRTPSocket, PlaysTheCannedViewerAsTheServerReadsIt) {
    KLNetOutboundRTPSocket socket(quietDestinations());
    Bytes handshake(109);
    size_t offset = 0;
    for (size_t step : {1, 4, 100}) {
        EXPECT_EQ(socket.state(), KLNetOutboundRTPSocket::kHandshake);
        ASSERT_TRUE(socket.getClientBytes(handshake.data() + offset, int64_t(step)));
        offset += step;
    }
    ASSERT_TRUE(socket.getClientBytes(handshake.data() + offset, 4));
    EXPECT_EQ(socket.state(), KLNetOutboundRTPSocket::kStreaming);

    auto read = readClientHandshake(handshake);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->length, 109u);
    const ClientHandshakeMsg& m = read->message;
    EXPECT_EQ(std::vector<int>({m.type, m.majorversion, m.minorversion, m.subversion, m.displayMode}),
              std::vector<int>({1, 1, 1, 9, 0}));
    EXPECT_EQ(m.capabilities.encodingModes, 0x7Au);
    EXPECT_EQ(m.requestedDisplaySize, (DisplaySizeRequest{1024, 768}));
    EXPECT_EQ(m.capabilities.deskgateClientId, 0u);

    uint8_t next = 0;
    ASSERT_TRUE(socket.getClientBytes(&next, 1));
    EXPECT_EQ(next, 0x20);
    EXPECT_TRUE(socket.getClientBytes(&next, 0));
    clearMemoryLog();
    uint8_t two[2];
    EXPECT_FALSE(socket.getClientBytes(two, 2));
    EXPECT_TRUE(memoryLogContains("Server requested a suprise number of 2 bytes"));
}

TEST(OutboundRTPSocket, RefusesReadsPastTheHandshake) {
    struct Case {
        std::vector<int64_t> reads;
        std::vector<bool> answers;
    };
    const Case cases[] = {
        {{110}, {false}},
        {{108, 2}, {true, false}},
        {{100, 9}, {true, true}},
    };
    for (const Case& c : cases) {
        KLNetOutboundRTPSocket socket(quietDestinations());
        std::vector<uint8_t> buffer(200);
        for (size_t i = 0; i < c.reads.size(); ++i)
            EXPECT_EQ(socket.getClientBytes(buffer.data(), c.reads[i]), c.answers[i]) << "read " << i;
        // Whatever the server asked for counts as read: the handshake is over.
        EXPECT_EQ(socket.state(), KLNetOutboundRTPSocket::kStreaming);
    }
}

TEST(OutboundRTPSocket, UpdateRequestsFollowThePacingThreadAndEndWithTheSocket) {
    KLNetOutboundRTPSocket socket(quietDestinations());
    Bytes handshake(109);
    ASSERT_TRUE(socket.getClientBytes(handshake.data(), 109));
    uint8_t byte = 0;
    ASSERT_TRUE(socket.getClientBytes(&byte, 1));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(socket.getClientBytes(&byte, 1));
    // Five requests span at least four pacing intervals of 40 ms rather than spinning.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

    std::atomic<int> answer{-1};
    std::thread reader([&] { answer = socket.getClientBytes(&byte, 1) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    socket.close();
    reader.join();
    EXPECT_EQ(answer, 0);
    EXPECT_FALSE(socket.isOpen());
    EXPECT_FALSE(socket.getClientBytes(&byte, 1));
}

class OutboundRTPWire : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(receiver.port(), 0) << "no port pair free on both loopback addresses"; }
    RTPDestinations destinations() { return {{kLoopback1, kLoopback2}, receiver.port(), -1}; }
    RTPTestReceiver receiver{{kLoopback1, kLoopback2}};
};

TEST_F(OutboundRTPWire, SendsEachFrameToBothDestinationsInFragments) {
    KLNetOutboundRTPSocket socket(destinations());
    const Bytes first = pattern(6000), second = pattern(6001), third = pattern(10);
    // Blocks queued in pieces are joined into one payload.
    socket.sendBytes(first.data(), 2500);
    socket.sendBytes(first.data() + 2500, 3500);
    socket.endRTPPacketWithDelay(false);
    socket.endRTPPacketWithDelay(false);  // an empty queue sends nothing
    socket.sendBytes(second.data(), uint32_t(second.size()));
    socket.endRTPPacketWithDelay(false);
    socket.sendBytes(third.data(), uint32_t(third.size()));
    socket.endRTPPacketWithDelay(false);
    EXPECT_TRUE(socket.outboundPackets().empty());

    for (size_t host = 0; host < 2; ++host) {
        SCOPED_TRACE(host);
        ASSERT_TRUE(receiver.waitForPackets(host, 4));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto packets = receiver.packets(host);
        ASSERT_EQ(packets.size(), 4u);
        for (const auto& p : packets) {
            EXPECT_EQ(p.version, 2);
            EXPECT_EQ(p.payloadType, 125);
        }
        const std::vector<std::pair<int, int>> indices = {{0, 1}, {0, 2}, {1, 2}, {0, 1}};
        const std::vector<bool> markers = {true, true, false, true};
        const std::vector<size_t> sizes = {6000, 6000, 1, 10};
        for (size_t i = 0; i < 4; ++i) {
            ASSERT_GE(packets[i].payload.size(), 2u);
            EXPECT_EQ(std::pair(int(packets[i].payload[0]), int(packets[i].payload[1])), indices[i]) << i;
            EXPECT_EQ(packets[i].marker, markers[i]) << i;
            EXPECT_EQ(packets[i].payload.size() - 2, sizes[i]) << i;
        }
        EXPECT_TRUE(std::equal(first.begin(), first.end(), packets[0].payload.begin() + 2));
        EXPECT_EQ(packets[2].payload.back(), second.back());
        // A full fragment leaves the timestamp; a short one steps it by 50000 for what follows.
        EXPECT_EQ(packets[1].timestamp - packets[0].timestamp, 0u);
        EXPECT_EQ(packets[2].timestamp - packets[1].timestamp, 0u);
        EXPECT_EQ(packets[3].timestamp - packets[2].timestamp, 50000u);
    }
}

TEST_F(OutboundRTPWire, RefusesAFrameOfMoreThan255FragmentsAndSendsTheNext) {
    KLNetOutboundRTPSocket socket(destinations());
    const Bytes huge(255 * kRTPFragmentPayload + 1, 0xAB);
    clearMemoryLog();
    socket.sendBytes(huge.data(), uint32_t(huge.size()));
    socket.endRTPPacketWithDelay(false);
    EXPECT_TRUE(memoryLogContains("needs more than 255 fragments"));
    EXPECT_TRUE(socket.outboundPackets().empty());
    const Bytes small = pattern(3);
    socket.sendBytes(small.data(), 3);
    socket.endRTPPacketWithDelay(false);
    ASSERT_TRUE(receiver.waitForPackets(0, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto packets = receiver.packets(0);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].payload, (Bytes{0, 1, small[0], small[1], small[2]}));
}

TEST_F(OutboundRTPWire, DisplaySizeBlockOpensTheFrameAndCloseSaysGoodbye) {
    KLNetOutboundRTPSocket socket(destinations());
    std::array<uint8_t, 56> record;
    std::iota(record.begin(), record.end(), uint8_t(1));
    socket.sendBytes("\x01", 1);  // written between updates: a frame of its own
    socket.beginUpdate(record);
    socket.sendBytes("\x20\x00\x00", 3);
    socket.endUpdate();
    socket.beginRTPPacket(std::span<const uint8_t>(record.data(), 55));  // refused: not a record
    EXPECT_TRUE(socket.outboundPackets().empty());
    ASSERT_TRUE(receiver.waitForPackets(1, 2));
    auto packets = receiver.packets(1);
    EXPECT_EQ(packets[0].payload, (Bytes{0, 1, 0x01}));
    Bytes expected{0, 1, 0x79, 59, 0};
    expected.insert(expected.end(), record.begin(), record.end());
    expected.insert(expected.end(), {0x20, 0, 0});
    EXPECT_EQ(packets[1].payload, expected);

    socket.close();
    for (size_t host = 0; host < 2; ++host) {
        EXPECT_TRUE(waitFor([&] {
            for (const auto& d : receiver.rtcp(host))
                if (rtcpByeReason(d) == "End transmission") return true;
            return false;
        })) << host;
    }
}

}  // namespace
}  // namespace kl::test
