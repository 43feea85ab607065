// The rendezvous codec against fixed bytes and against the independent stand-in implementation.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "StandinProcess.h"
#include "TunnelTestSupport.h"
#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexRendezvousCodec.h"

namespace kl {
namespace {

const std::string kKeyHex = "000102030405060708090a0b0c0d0e0f";
const Bytes kKey = test::bytesFromHex(kKeyHex);

std::string hex(const Bytes& bytes) { return hexadecimalString(bytes); }

uint32_t ipv4(const char* dotted) {
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

Bytes sealedByStandin(uint64_t nonce, const Bytes& plaintext) {
    auto reply = test::runStandinTool({"seal-reply", "--key", kKeyHex, "--nonce", std::to_string(nonce), hex(plaintext)});
    return test::bytesFromHex(reply.value("datagram", ""));
}

TEST(RendezvousCodec, PingWithoutAddressesIsThe39ByteGoldenDatagram) {
    Bytes plaintext = tunnexPingPlaintext(0, {});
    ASSERT_EQ(plaintext.size(), 15u);
    auto sealed = tunnexSealRequest(42, 1, kKey, plaintext);
    ASSERT_TRUE(sealed) << sealed.error().description();
    EXPECT_EQ(hex(*sealed),
              "2a000000000000000100000000000000b256446a8e42aa30eb55f902a6794d18c4e363e58e2dbb");

    auto opened = test::runStandinTool({"open-request", "--key", kKeyHex, hex(*sealed)});
    EXPECT_EQ(opened.value("type", ""), "ping") << opened.dump();
    EXPECT_EQ(opened.value("id", 0), 42);
    EXPECT_EQ(opened.value("nonce", 0), 1);
    EXPECT_EQ(opened.value("counter", -1), 0);
    EXPECT_TRUE(opened["addresses"].empty());
}

TEST(RendezvousCodec, PingAddressEntriesKeepNetworkOrderAddressesAndLittleEndianPorts) {
    Bytes plaintext = tunnexPingPlaintext(0x0102030405060708ull, {{ipv4("10.1.2.3"), 0x1234}, {ipv4("192.168.7.9"), 9}});
    ASSERT_EQ(plaintext.size(), 27u);
    EXPECT_EQ(hex(Bytes(plaintext.begin(), plaintext.begin() + 21)),
              "000001010008070605040302010200" "0a010203" "3412");
    auto sealed = tunnexSealRequest(7, 99, kKey, plaintext);
    auto opened = test::runStandinTool({"open-request", "--key", kKeyHex, hex(*sealed)});
    EXPECT_EQ(opened.value("counter", uint64_t(0)), 0x0102030405060708ull);
    EXPECT_EQ(opened["addresses"], nlohmann::json::parse(R"([["10.1.2.3", 4660], ["192.168.7.9", 9]])"));
}

TEST(RendezvousCodec, ConnectRequestIsThe112ByteGoldenDatagram) {
    const std::string uuid = "0123456789abcdef0123456789abcdef01234567";
    Bytes plaintext = tunnexConnectPlaintext(7, 0x1122334455667788ull, uuid);
    ASSERT_EQ(plaintext.size(), 88u);
    auto sealed = tunnexSealRequest(42, 2, kKey, plaintext);
    ASSERT_EQ(sealed->size(), 112u);
    EXPECT_EQ(hex(*sealed),
              "2a000000000000000200000000000000d372510687ccdb6db0bfe8934e364f3799d0756d5bbb56eb619dd4d558c14faa48"
              "dffbcd9d3622d88f8563a09975a3c214de814f7bfd5a2838c9661186dc3a3e117df1175d69db07401565d4a540054fc31d"
              "d13815bda1f155f0a66bdbfc2bc6");
    auto opened = test::runStandinTool({"open-request", "--key", kKeyHex, hex(*sealed)});
    EXPECT_EQ(opened.value("type", ""), "connect");
    EXPECT_EQ(opened.value("peer", 0), 7);
    EXPECT_EQ(opened.value("transaction", uint64_t(0)), 0x1122334455667788ull);
    EXPECT_EQ(opened.value("uuid", ""), uuid);
}

TEST(RendezvousCodec, ConnectRequestCutsALongUuidTo47BytesAndKeepsItsTerminator) {
    bool truncated = false;
    Bytes plaintext = tunnexConnectPlaintext(1, 2, std::string(60, 'u'), &truncated);
    EXPECT_TRUE(truncated);
    ASSERT_EQ(plaintext.size(), 88u);
    EXPECT_EQ(std::string(plaintext.begin() + 23, plaintext.begin() + 70), std::string(47, 'u'));
    EXPECT_EQ(plaintext[70], 0);
    tunnexConnectPlaintext(1, 2, std::string(47, 'u'), &truncated);
    EXPECT_FALSE(truncated);
}

TEST(RendezvousCodec, SealingRefusesKeysThatAreNotAnAesKeyLength) {
    for (size_t length : {0u, 15u, 17u}) {
        auto sealed = tunnexSealRequest(1, 1, Bytes(length, 1), tunnexPingPlaintext(0, {}));
        EXPECT_FALSE(sealed) << length;
        EXPECT_FALSE(sealed.error().description().empty());
    }
    for (size_t length : {16u, 24u, 32u}) EXPECT_TRUE(tunnexSealRequest(1, 1, Bytes(length, 1), {}));
}

TEST(RendezvousCodec, RepliesSealedByTheStandinOpenAndRead) {
    // Pong naming 203.0.113.5:40000.
    Bytes pong(20, 0);
    pong[13] = 1;
    pong[14] = 203, pong[15] = 0, pong[16] = 113, pong[17] = 5;
    pong[18] = 0x40, pong[19] = 0x9c;
    TunnexReplyNonceGate gate;
    auto opened = tunnexOpenReply(sealedByStandin(3, pong), kKey, gate);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened.packetType(), ServerPongMsg);
    auto read = tunnexReadPong(opened.plaintext);
    EXPECT_TRUE(read.hasAddress);
    EXPECT_EQ(tunnexAddressText(read.external.address), "203.0.113.5");
    EXPECT_EQ(read.external.port, 40000);
    EXPECT_EQ(gate.highest(), 3u);

    // Invitation with three alternates at 87, 93 and 99.
    Bytes invitation(87 + 18, 0);
    invitation[0] = 1;
    invitation[5] = 0x2a;  // transaction 42
    invitation[13] = 1;
    invitation[14] = 198, invitation[15] = 51, invitation[16] = 100, invitation[17] = 1;
    invitation[18] = 1;  // proxy 10.9.8.7:1234
    invitation[19] = 10, invitation[20] = 9, invitation[21] = 8, invitation[22] = 7;
    invitation[23] = 0xd2, invitation[24] = 0x04;
    invitation[35] = 0x39, invitation[36] = 0x30;  // port 12345
    invitation[37] = 3;
    std::string uuid = "remote-machine-uuid";
    std::copy(uuid.begin(), uuid.end(), invitation.begin() + 39);
    for (int j = 0; j < 3; ++j) {
        invitation[87 + 6 * j] = 172, invitation[88 + 6 * j] = 16, invitation[90 + 6 * j] = uint8_t(j + 1);
        invitation[91 + 6 * j] = uint8_t(100 + j);
    }
    opened = tunnexOpenReply(sealedByStandin(4, invitation), kKey, gate);
    ASSERT_TRUE(opened);
    auto inv = tunnexReadInvitation(opened.plaintext);
    EXPECT_EQ(inv.transactionId, 42);
    EXPECT_TRUE(inv.hasIPv4);
    EXPECT_EQ(tunnexAddressText(inv.other.address), "198.51.100.1");
    EXPECT_EQ(inv.other.port, 12345);
    EXPECT_TRUE(inv.hasProxy);
    EXPECT_EQ(tunnexAddressText(inv.proxy.address), "10.9.8.7");
    EXPECT_EQ(inv.proxy.port, 1234);
    EXPECT_EQ(inv.uuid, uuid);
    ASSERT_EQ(inv.alternates.size(), 3u);
    EXPECT_EQ(tunnexAddressText(inv.alternates[2].address), "172.16.0.3");
    EXPECT_EQ(inv.alternates[2].port, 102);

    // Error code 1.
    opened = tunnexOpenReply(sealedByStandin(5, test::bytesFromHex("02000000000100")), kKey, gate);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened.packetType(), ServerErrorMsg);
    EXPECT_EQ(tunnexReadErrorCode(opened.plaintext), 1);
}

TEST(RendezvousCodec, InvitationReadsOnlyTheAlternatesThatArePresent) {
    Bytes invitation(87 + 6 * 2 + 3, 0);  // two whole entries and a torn third
    invitation[0] = 1;
    invitation[37] = 0xF4, invitation[38] = 0x01;  // claims 500
    auto read = tunnexReadInvitation(invitation);
    EXPECT_EQ(read.alternateCount, 500);
    EXPECT_EQ(read.alternates.size(), 2u);
    // A UUID field without its terminating zero reads as empty, never past the field.
    Bytes unterminated(87, 'x');
    EXPECT_EQ(tunnexReadInvitation(unterminated).uuid, "");
    // A short plaintext reads as zeros beyond its end.
    auto pong = tunnexReadPong(Bytes{0, 0});
    EXPECT_FALSE(pong.hasAddress);
}

// One reply table: each row is fed to the same gate in order.
TEST(RendezvousCodec, ReplyNonceAndTagRules) {
    setLoggingLevel(kKLTLoggingLevelDebug);
    const Bytes pong = test::bytesFromHex("0000");
    auto sealed = [&](uint64_t nonce) { return tunnexSealReply(nonce, kKey, pong).value(); };
    auto forged = [&](uint64_t nonce) {
        Bytes datagram = sealed(nonce);
        datagram.back() ^= 1;
        return datagram;
    };
    auto firstBytes = [](Bytes bytes, size_t count) {
        bytes.resize(count);
        return bytes;
    };
    struct Row {
        const char* what;
        Bytes datagram;
        Bytes key;
        TunnexReplyRefusal refusal;
        uint64_t highestAfter;
        const char* logLine;
    };
    const Row rows[] = {
        {"nonce 7 accepted", sealed(7), kKey, TunnexReplyRefusal::None, 7, nullptr},
        {"nonce 5 after 7 dropped", sealed(5), kKey, TunnexReplyRefusal::RepeatedNonce, 7, "Server repeated nonce 5"},
        {"nonce 7 again dropped", sealed(7), kKey, TunnexReplyRefusal::RepeatedNonce, 7, "Server repeated nonce 7"},
        {"forged huge nonce does not move the mark", forged(~0ull), kKey, TunnexReplyRefusal::BadTag, 7,
         "CCM MAC failed"},
        {"the next genuine reply still counts", sealed(8), kKey, TunnexReplyRefusal::None, 8, nullptr},
        {"wrong key fails the tag", sealed(9), Bytes(16, 0xEE), TunnexReplyRefusal::BadTag, 8, "CCM MAC failed"},
        {"empty key", sealed(10), Bytes(), TunnexReplyRefusal::EmptyKey, 8, "Received zero length crypto key"},
        {"bad key length", sealed(11), Bytes(5, 1), TunnexReplyRefusal::CipherFailure, 8, "Cryptopp reported"},
        {"17 bytes", firstBytes(sealed(12), 17), kKey, TunnexReplyRefusal::TooShort, 8,
         "too short"},
        {"empty datagram", Bytes(), kKey, TunnexReplyRefusal::TooShort, 8, "too short"},
        {"18 bytes: empty plaintext, tag only", tunnexSealReply(13, kKey, {}).value(), kKey,
         TunnexReplyRefusal::None, 13, nullptr},
    };
    TunnexReplyNonceGate gate;
    for (const Row& row : rows) {
        clearMemoryLog();
        auto opened = tunnexOpenReply(row.datagram, row.key, gate);
        EXPECT_EQ(opened.refusal, row.refusal) << row.what;
        EXPECT_EQ(gate.highest(), row.highestAfter) << row.what;
        if (row.logLine) {
            EXPECT_TRUE(memoryLogContains(row.logLine)) << row.what;
        }
        if (row.refusal != TunnexReplyRefusal::None) {
            EXPECT_TRUE(opened.plaintext.empty()) << row.what;
        }
    }
    // After a reset (a new registration) the same reply is accepted again.
    gate.reset();
    EXPECT_TRUE(tunnexOpenReply(sealed(5), kKey, gate));
    setLoggingLevel(kKLTLoggingLevelInfo);
}

TEST(RendezvousCodec, RequestNoncesStartAtOneAndNeverRepeatAcrossThreads) {
    TunnexRequestNonces nonces;
    EXPECT_EQ(nonces.next(), 1u);
    std::vector<std::thread> threads;
    std::vector<std::vector<uint64_t>> seen(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) seen[t].push_back(nonces.next());
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<uint64_t> all;
    for (auto& list : seen) all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), 4000u);
    EXPECT_EQ(*all.begin(), 2u);
    EXPECT_EQ(*all.rbegin(), 4001u);
}

}  // namespace
}  // namespace kl
