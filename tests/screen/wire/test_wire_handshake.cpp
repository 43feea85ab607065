// The viewer's main-channel messages: the handshake in its three lengths, icon hashes, and the
// byte-by-byte scan of what else the viewer sends.
#include <gtest/gtest.h>

#include "WireTestBytes.h"
#include "screen/protocol/ClientHandshake.h"
#include "screen/protocol/ClientMessages.h"
#include "screen/protocol/ScreenWireWriter.h"

namespace kl {
namespace {

using test::hexBytes;

// A full capability record: encoding modes 0x80, display sizes 1..32, keyboard 0x0102, android
// 0x0304, retina 0x0506, `hashes` icon hashes, client id 0x1122334455667788, other flags 0xA0..0xA7.
Bytes capabilityBytes(uint16_t hashes) {
    Bytes out;
    ScreenWireWriter w(out);
    w.u32(0x80);
    for (uint16_t i = 1; i <= 32; ++i) w.u16(i);
    w.u16(0x0102).u16(0x0304).u16(0x0506).u16(hashes).u64(0x1122334455667788);
    for (uint16_t i = 0; i < 8; ++i) w.u16(uint16_t(0xA0 + i));
    return out;
}

TEST(WireHandshake, CapabilityRecordLayout) {
    const Bytes bytes = capabilityBytes(3);
    ASSERT_EQ(bytes.size(), 100u);
    auto caps = readClientCapabilities(bytes);
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->encodingModes, 0x80u);
    EXPECT_EQ(caps->displaySizes[0], 1);
    EXPECT_EQ(caps->displaySizes[31], 32);
    EXPECT_EQ(caps->keyboardSupport, 0x0102);
    EXPECT_EQ(caps->androidFlags, 0x0304);
    EXPECT_EQ(caps->retinaFlags, 0x0506);
    EXPECT_EQ(caps->iconHashCount, 3);
    EXPECT_EQ(caps->deskgateClientId, 0x1122334455667788u);
    EXPECT_EQ(caps->otherFlags[0], 0xA0);
    EXPECT_EQ(caps->otherFlags[7], 0xA7);
    EXPECT_FALSE(readClientCapabilities(std::span(bytes).first(99)));
}

struct HandshakeCase {
    const char* name;
    Bytes head;        // type and version triple and display mode
    bool capabilities; // whether the 100 capability bytes follow
    bool displaySize;  // whether the 4 display-size bytes follow
    size_t length;
};

TEST(WireHandshake, ThreeLengthsByVersion) {
    const HandshakeCase cases[] = {
        {"major 0", hexBytes("01 00 05 02 07"), false, false, 5},
        {"minor 0", hexBytes("01 01 00 02 07"), false, false, 5},
        {"subversion 1", hexBytes("01 01 01 01 07"), true, false, 105},
        {"subversion 2", hexBytes("01 01 01 02 07"), true, true, 109},
        {"subversion 9", hexBytes("01 02 03 09 07"), true, true, 109},
    };
    for (const HandshakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes wire = c.head;
        if (c.capabilities) {
            const Bytes caps = capabilityBytes(0);
            wire.insert(wire.end(), caps.begin(), caps.end());
        }
        if (c.displaySize) {
            const Bytes size = hexBytes("00 04 00 03");
            wire.insert(wire.end(), size.begin(), size.end());
        }
        ASSERT_EQ(wire.size(), c.length);
        // The bytes of the next message must not be taken for part of the handshake.
        Bytes stream = wire;
        stream.insert(stream.end(), 120, 0x20);
        EXPECT_EQ(clientHandshakeLength(stream), c.length);
        EXPECT_EQ(clientHandshakeLength(std::span(wire).first(1)), 5u);

        EXPECT_FALSE(readClientHandshake(std::span(wire).first(c.length - 1)));
        auto read = readClientHandshake(stream);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->length, c.length);
        const ClientHandshakeMsg& msg = read->message;
        EXPECT_EQ(msg.type, 1);
        EXPECT_EQ(msg.majorversion, c.head[1]);
        EXPECT_EQ(msg.subversion, c.head[3]);
        EXPECT_EQ(msg.displayMode, 7);
        // What an older viewer leaves out reads as zero.
        EXPECT_EQ(msg.capabilities.deskgateClientId, c.capabilities ? 0x1122334455667788u : 0u);
        EXPECT_EQ(msg.capabilities == ClientCapabilities{}, !c.capabilities);
        EXPECT_EQ(msg.requestedDisplaySize, c.displaySize ? (DisplaySizeRequest{1024, 768}) : DisplaySizeRequest{});
        EXPECT_EQ(ProtocolVersionInfo::fromHandshake(msg).isVersionCapable(), c.displaySize);
        EXPECT_TRUE(read->iconHashes.empty());
    }
}

TEST(WireHandshake, IconHashesFollowTheRecordAndAreWaitedFor) {
    Bytes wire = hexBytes("01 01 01 02 00");
    const Bytes caps = capabilityBytes(2);
    wire.insert(wire.end(), caps.begin(), caps.end());
    // Until the hash count has arrived the reader can only ask for the record itself.
    EXPECT_EQ(clientHandshakeLength(std::span(wire).first(104)), 109u);
    EXPECT_EQ(clientHandshakeLength(wire), 141u);
    wire.insert(wire.end(), {0x80, 0x02, 0xe0, 0x01});
    for (int i = 0; i < 32; ++i) wire.push_back(uint8_t(i));
    EXPECT_EQ(clientHandshakeLength(wire), 141u);
    EXPECT_FALSE(readClientHandshake(std::span(wire).first(140)));
    auto read = readClientHandshake(wire);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->message.requestedDisplaySize, (DisplaySizeRequest{640, 480}));
    ASSERT_EQ(read->iconHashes.size(), 2u);
    EXPECT_EQ(read->iconHashes[0][0], 0);
    EXPECT_EQ(read->iconHashes[0][15], 15);
    EXPECT_EQ(read->iconHashes[1][0], 16);
    EXPECT_EQ(read->iconHashes[1][15], 31);
}

TEST(WireHandshake, RefusesOtherTypes) {
    EXPECT_FALSE(readClientHandshake(hexBytes("04 00 00 00 00")));
    EXPECT_FALSE(readClientHandshake({}));
}

TEST(WireClientMessages, ScanSkipsUnknownBytesAndWaitsForWholeMessages) {
    // An unknown byte, an update request, a heartbeat, an old viewer's handshake, a cut-off heartbeat.
    const Bytes stream = hexBytes("07 20 04 01 02 03 04 05 06 07 08 01 00 00 00 00 04 01");
    struct Step {
        ClientMessageScan::Kind kind;
        size_t length;
    };
    const Step expected[] = {
        {ClientMessageScan::Skip, 1},       {ClientMessageScan::UpdateRequest, 1},
        {ClientMessageScan::HeartBeat, 9},  {ClientMessageScan::Handshake, 5},
        {ClientMessageScan::NeedMore, 9},
    };
    std::span<const uint8_t> rest(stream);
    for (const Step& step : expected) {
        const ClientMessageScan scan = scanClientMessage(rest);
        EXPECT_EQ(scan.kind, step.kind);
        EXPECT_EQ(scan.length, step.length);
        if (scan.kind == ClientMessageScan::NeedMore) break;
        rest = rest.subspan(scan.length);
    }
    EXPECT_EQ(rest.size(), 2u);
    EXPECT_EQ(scanClientMessage({}).kind, ClientMessageScan::NeedMore);
    // A handshake whose capabilities are still on their way.
    const ClientMessageScan partial = scanClientMessage(hexBytes("01 01 01 02 00 80"));
    EXPECT_EQ(partial.kind, ClientMessageScan::NeedMore);
    EXPECT_EQ(partial.length, 109u);
}

TEST(WireClientMessages, BusyTakeOverReply) {
    EXPECT_EQ(readBusyTakeOverReply(hexBytes("08 07 06 05 04 03 02 01")), 0x0102030405060708u);
    EXPECT_FALSE(readBusyTakeOverReply(hexBytes("08 07 06 05 04 03 02")));
}

}  // namespace
}  // namespace kl
