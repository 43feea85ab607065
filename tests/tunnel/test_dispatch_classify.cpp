// Classification of peer-socket datagrams: every word, the records' fields and every short form.
#include <gtest/gtest.h>

#include "TunnelTestSupport.h"
#include "tunnel/protocol/TunnexDatagramClass.h"

namespace kl {
namespace {

Bytes record(uint16_t magic, int64_t transaction, const std::string& uuid, size_t length) {
    Bytes bytes(length, 0);
    bytes[0] = uint8_t(magic), bytes[1] = uint8_t(magic >> 8);
    for (int i = 0; i < 8 && 4 + i < int(length); ++i) bytes[4 + i] = uint8_t(uint64_t(transaction) >> (8 * i));
    for (size_t i = 0; i < uuid.size() && 12 + i < length; ++i) bytes[12 + i] = uint8_t(uuid[i]);
    return bytes;
}

TEST(DispatchClassify, WordsRecordsAndShortForms) {
    using K = TunnexDatagramKind;
    struct Row {
        const char* what;
        Bytes datagram;
        K kind;
        bool isRecord;
        int64_t transaction;
        std::optional<std::string> uuid;
    };
    const Row rows[] = {
        {"server reply", test::bytesFromHex("02a4"), K::ServerReply, false, 0, {}},
        {"AHOY originator", record(0xFACE, 77, "", 24), K::Hello, true, 77, {}},
        {"AHOY responder", record(0xBABE, -3, "", 24), K::Hello, true, -3, {}},
        {"AHOY of 11 bytes", record(0xFACE, 77, "", 11), K::Unexpected, false, 0, {}},
        {"HELLO originator", test::bytesFromHex("feca"), K::Hello, false, 0, {}},
        {"HELLO responder", test::bytesFromHex("efbe"), K::Hello, false, 0, {}},
        {"confirm record", record(0xDEED, 9, "uuid-a", 76), K::Confirm, true, 9, "uuid-a"},
        {"confirm word", test::bytesFromHex("0df0"), K::Confirm, false, 0, {}},
        {"accept record", record(0xD00D, 9, "uuid-b", 76), K::Accept, true, 9, "uuid-b"},
        {"accept record cut after its UUID's zero", record(0xD00D, 9, "ab", 15), K::Accept, true, 9, "ab"},
        {"accept word", test::bytesFromHex("edfe"), K::Accept, false, 0, {}},
        {"acknowledgement without transaction", record(0xDEED, 9, "", 8), K::Unexpected, false, 0, {}},
        {"acknowledgement cut inside its UUID", record(0xDEED, 9, "abcdef", 15), K::Unexpected, false, 0, {}},
        {"acknowledgement whose UUID fills 48 bytes", record(0xD00D, 9, std::string(48, 'x'), 76), K::Unexpected,
         false, 0, {}},
        {"UDT handshake 80 00", test::bytesFromHex("8000"), K::UDTPacket, false, 0, {}},
        {"UDT data 00 08", test::bytesFromHex("0008"), K::UDTPacket, false, 0, {}},
        {"reject record is no class", record(0xAC1D, 9, "x", 76), K::Unexpected, false, 0, {}},
        {"12 34", test::bytesFromHex("1234"), K::Unexpected, false, 0, {}},
        {"one byte", test::bytesFromHex("02"), K::Unexpected, false, 0, {}},
        {"empty", Bytes(), K::Unexpected, false, 0, {}},
    };
    for (const Row& row : rows) {
        TunnexPeerDatagram datagram = classifyTunnexDatagram(row.datagram);
        EXPECT_EQ(datagram.kind, row.kind) << row.what;
        EXPECT_EQ(datagram.isRecord, row.isRecord) << row.what;
        EXPECT_EQ(datagram.transactionId, row.transaction) << row.what;
        EXPECT_EQ(datagram.uuid, row.uuid) << row.what;
    }
}

TEST(DispatchClassify, MagicTests) {
    for (uint16_t magic : {0xFACE, 0xBABE, 0xCAFE, 0xBEEF}) EXPECT_TRUE(isHelloForMagic(magic));
    for (uint16_t magic : {0xDEED, 0xF00D}) EXPECT_TRUE(isConfirmForMagic(magic));
    for (uint16_t magic : {0xFEED, 0xD00D}) EXPECT_TRUE(isAcceptForMagic(magic));
    for (uint16_t magic : {0x0800, 0x0080}) EXPECT_TRUE(isUDTPacketForMagic(magic));
    EXPECT_FALSE(isHelloForMagic(0xDEED) || isConfirmForMagic(0xFEED) || isAcceptForMagic(0xAC1D) ||
                 isUDTPacketForMagic(0x0880));
}

TEST(DispatchClassify, ForwardDatagramMessageCarriesTheChannelHashLittleEndian) {
    Bytes message = tunnexForwardDatagramMessage(258, test::bytesFromHex("aabb"));
    EXPECT_EQ(message, test::bytesFromHex("02a4010100030201000" "0aabb"));
}

}  // namespace
}  // namespace kl
