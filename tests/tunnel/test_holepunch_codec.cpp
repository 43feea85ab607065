// The hole-punch datagrams byte for byte, read back by the peer's classifier, and the schedule of
// the punch rounds.
#include <gtest/gtest.h>

#include "PeerTestSupport.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/protocol/TunnexHolePunchCodec.h"

namespace kl {
namespace {

TEST(HolePunchCodec, AhoyGoldenBytes) {
    const Bytes originator = test::bytesFromHex("cefa00000807060504030201000000000000000000000000");
    const TunnexAhoy fromOriginator = tunnexBuildAhoy(0x0102030405060708, true);
    EXPECT_EQ(Bytes(fromOriginator.begin(), fromOriginator.end()), originator);
    const TunnexAhoy fromResponder = tunnexBuildAhoy(0x0102030405060708, false);
    EXPECT_EQ(Bytes(fromResponder.begin(), fromResponder.end()),
              test::bytesFromHex("beba00000807060504030201000000000000000000000000"));

    // The peer's classifier reads what the builder writes.
    const TunnexPeerDatagram read = classifyTunnexDatagram(fromOriginator);
    EXPECT_EQ(read.kind, TunnexDatagramKind::Hello);
    EXPECT_TRUE(read.isRecord);
    EXPECT_EQ(read.transactionId, 0x0102030405060708);
}

TEST(HolePunchCodec, AcknowledgementGoldenBytes) {
    const std::string uuid40 = "0123456789abcdef0123456789abcdef01234567";
    bool truncated = true;
    const TunnexAcknowledgement confirm = tunnexBuildAcknowledgement(7, kTunnexPeerConfirmMsg, uuid40, &truncated);
    EXPECT_FALSE(truncated);
    Bytes expected = test::bytesFromHex("edde00000700000000000000");
    expected.insert(expected.end(), uuid40.begin(), uuid40.end());
    expected.resize(76, 0);  // the terminating zero at 52 and zeros up to byte 75
    EXPECT_EQ(Bytes(confirm.begin(), confirm.end()), expected);

    const TunnexPeerDatagram read = classifyTunnexDatagram(confirm);
    EXPECT_EQ(read.kind, TunnexDatagramKind::Confirm);
    EXPECT_EQ(read.transactionId, 7);
    EXPECT_EQ(read.uuid, uuid40);

    // A 60-byte identifier keeps its first 47 bytes and a terminating zero.
    const std::string uuid60 = uuid40 + "89abcdef01234567890a";
    const TunnexAcknowledgement accept = tunnexBuildAcknowledgement(-2, kTunnexPeerAcceptMsg, uuid60, &truncated);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(accept[0], 0x0D);
    EXPECT_EQ(accept[1], 0xD0);
    EXPECT_EQ(Bytes(accept.begin() + 4, accept.begin() + 12), test::bytesFromHex("feffffffffffffff"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(accept.data()) + 12), uuid60.substr(0, 47));
    EXPECT_EQ(accept[59], 0);
    const TunnexPeerDatagram acceptRead = classifyTunnexDatagram(accept);
    EXPECT_EQ(acceptRead.kind, TunnexDatagramKind::Accept);
    EXPECT_EQ(acceptRead.uuid, uuid60.substr(0, 47));

    // 47 bytes fit whole.
    tunnexBuildAcknowledgement(1, kTunnexPeerConfirmMsg, uuid60.substr(0, 47), &truncated);
    EXPECT_FALSE(truncated);
}

TEST(HolePunchCodec, WordsAndNames) {
    EXPECT_EQ(tunnexBuildHello(true), 0xCAFE);
    EXPECT_EQ(tunnexBuildHello(false), 0xBEEF);
    EXPECT_STREQ(tunnexAcknowledgementTypeName(0xDEED), "PEER_CONFIRM_MSG");
    EXPECT_STREQ(tunnexAcknowledgementTypeName(0xD00D), "PEER_ACCEPT_MSG");
    EXPECT_STREQ(tunnexAcknowledgementTypeName(0xAC1D), "PEER_REJECT_MSG");
    EXPECT_STREQ(tunnexAcknowledgementTypeName(0xF00D), "Unknown");
    // The reject record names a type nothing accepts.
    const TunnexAcknowledgement reject = tunnexBuildAcknowledgement(1, kTunnexPeerRejectMsg, "x");
    EXPECT_EQ(classifyTunnexDatagram(reject).kind, TunnexDatagramKind::Unexpected);
}

TEST(HolePunchCodec, RoundSchedule) {
    struct PortCase {
        uint32_t draw;
        uint16_t port;
    };
    for (const PortCase& c : {PortCase{0, 0x0400}, PortCase{0xFFFFFFFF, 0xFFFF}, PortCase{0x0000FBFF, 0xFFFF},
                              PortCase{0x00012345, 0x2745}, PortCase{0x000003FF, 0x07FF}}) {
        EXPECT_EQ(tunnexPunchPort(c.draw), c.port) << std::hex << c.draw;
        EXPECT_GE(tunnexPunchPort(c.draw), 1024);
    }
    for (int round : {0, 32, 64, 992}) EXPECT_TRUE(tunnexPunchRoundPolls(round)) << round;
    for (int round : {1, 16, 31, 33, 1023}) EXPECT_FALSE(tunnexPunchRoundPolls(round)) << round;
    EXPECT_TRUE(tunnexPunchRoundSendsToAdvertised(0));
    EXPECT_TRUE(tunnexPunchRoundSendsToAdvertised(15));
    EXPECT_FALSE(tunnexPunchRoundSendsToAdvertised(16));
    EXPECT_FALSE(tunnexPunchRoundSendsToAdvertised(1023));
}

}  // namespace
}  // namespace kl
