// Input-sideband datagrams: every type read against its layout, short and unknown ones refused.
#include <gtest/gtest.h>

#include "WireTestBytes.h"
#include "screen/protocol/InputDatagrams.h"

namespace kl {
namespace {

using test::hexBytes;

TEST(WireInputDatagrams, TapsOfSixAndEightBytes) {
    auto six = readInputDatagram(hexBytes("02 01 10 00 20 00"));
    ASSERT_TRUE(six);
    const auto& plain = std::get<TapEventMessage>(*six.datagram);
    EXPECT_EQ(plain.tapType, 1);
    EXPECT_EQ(plain.x, 16);
    EXPECT_EQ(plain.y, 32);
    EXPECT_FALSE(plain.modifiers);

    auto eight = readInputDatagram(hexBytes("02 00 10 00 20 00 28 07"));
    ASSERT_TRUE(eight);
    const auto& modified = std::get<TapEventMessage>(*eight.datagram);
    ASSERT_TRUE(modified.modifiers);
    EXPECT_EQ(*modified.modifiers, 0x28);
    EXPECT_EQ(modified.extra, 7);

    // Only an 8-byte tap carries modifiers; 7 or 9 bytes are read as a plain tap.
    for (const char* other : {"02 00 10 00 20 00 28", "02 00 10 00 20 00 28 07 00"}) {
        auto read = readInputDatagram(hexBytes(other));
        ASSERT_TRUE(read);
        EXPECT_FALSE(std::get<TapEventMessage>(*read.datagram).modifiers) << other;
    }
}

TEST(WireInputDatagrams, FieldsOfEachType) {
    auto mouse = readInputDatagram(hexBytes("06 02 fe ff 10 00"));
    ASSERT_TRUE(mouse);
    const auto& m = std::get<MouseEventMessage>(*mouse.datagram);
    EXPECT_EQ(m.buttons, 2);
    EXPECT_EQ(m.x, -2);
    EXPECT_EQ(m.y, 16);

    // Bytes 1-4 are no part of a scroll; 3.7f is 0x406ccccd, -1.5f is 0xbfc00000.
    auto scroll = readInputDatagram(hexBytes("07 ff ff ff ff 00 00 c0 bf cd cc 6c 40"));
    ASSERT_TRUE(scroll);
    EXPECT_EQ(std::get<ScrollEventMessage>(*scroll.datagram).horizontal, -1.5f);
    EXPECT_EQ(std::get<ScrollEventMessage>(*scroll.datagram).vertical, 3.7f);

    auto window = readInputDatagram(hexBytes("05 39 30 00 00 ff ff ff ff 2a 00 00 00 00 00 00 00"));
    ASSERT_TRUE(window);
    EXPECT_EQ(std::get<WindowRequestMessage>(*window.datagram).applicationID, 0xffffffff00003039u);
    EXPECT_EQ(std::get<WindowRequestMessage>(*window.datagram).windowID, 42u);

    auto menu = readInputDatagram(hexBytes("08 88 77 66 55 44 33 22 11 39 30 00 00 00 00 00 00"));
    ASSERT_TRUE(menu);
    EXPECT_EQ(std::get<MenuRequestMessage>(*menu.datagram).elementHandle, 0x1122334455667788u);
    EXPECT_EQ(std::get<MenuRequestMessage>(*menu.datagram).applicationID, 12345u);
}

TEST(WireInputDatagrams, KeyboardFieldsByKind) {
    const struct {
        const char* bytes;
        uint8_t kind;
        uint32_t value;
    } cases[] = {
        {"03 00 04 01 00 41 00", kKeyboardEventCharacter, 0x41},          // a UTF-16 unit, 16 bits
        {"03 01 00 08 00 24 00 ff ff", kKeyboardEventKeyCode, 0x24},      // a key code ignores bytes 7-8
        {"03 02 00 01 00 03 00 00 00", kKeyboardEventCursor, 3},
        {"03 03 00 01 00 05 00 00 00", kKeyboardEventSelection, 5},
        {"03 04 00 02 00", kKeyboardEventDeletion, 0},
        {"03 05 00 01 00 02 00 00 01", kKeyboardEventPasteboard, 0x01000002},
        {"03 09", 9, 0},                                                  // ignored later, nothing to read
    };
    for (const auto& c : cases) {
        auto read = readInputDatagram(hexBytes(c.bytes));
        ASSERT_TRUE(read) << c.bytes;
        const auto& key = std::get<KeyboardEventMessage>(*read.datagram);
        EXPECT_EQ(key.kind, c.kind) << c.bytes;
        EXPECT_EQ(key.value, c.value) << c.bytes;
    }
    auto full = readInputDatagram(hexBytes("03 00 04 28 00 61 00"));
    EXPECT_EQ(std::get<KeyboardEventMessage>(*full.datagram).shiftState, 4);
    EXPECT_EQ(std::get<KeyboardEventMessage>(*full.datagram).modifiers, 0x28);
}

TEST(WireInputDatagrams, RefusesShortAndUnknownDatagrams) {
    const struct {
        const char* bytes;
        InputDatagramRead::Refusal refusal;
    } cases[] = {
        {"", InputDatagramRead::Empty},
        {"00", InputDatagramRead::UnhandledType},
        {"01 00 00 00 00 00", InputDatagramRead::UnhandledType},
        {"04 00 00 00 00 00 00 00 00", InputDatagramRead::UnhandledType},
        {"09", InputDatagramRead::UnhandledType},
        {"ff 00", InputDatagramRead::UnhandledType},
        {"02 00 10 00 20", InputDatagramRead::TooShort},
        {"03", InputDatagramRead::TooShort},
        {"03 00 00 01 00 41", InputDatagramRead::TooShort},           // character needs 7
        {"03 02 00 01 00 03 00 00", InputDatagramRead::TooShort},     // sub-code needs 9
        {"03 04 00 02", InputDatagramRead::TooShort},                 // deletion reads the modifiers
        {"05 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", InputDatagramRead::TooShort},
        {"06 01 00 00 00", InputDatagramRead::TooShort},
        {"07 00 00 00 00 00 00 00 00 00 00 00", InputDatagramRead::TooShort},
        {"08 00", InputDatagramRead::TooShort},
    };
    for (const auto& c : cases) {
        auto read = readInputDatagram(hexBytes(c.bytes));
        EXPECT_FALSE(read) << c.bytes;
        EXPECT_EQ(read.refusal, c.refusal) << c.bytes;
    }
    EXPECT_EQ(readInputDatagram(hexBytes("04 00")).refusalText(),
              "Received unhandled message from the client.  Type = 4");
    EXPECT_EQ(readInputDatagram(hexBytes("06 01")).refusalText(),
              "Received a short message from the client.  Type = 6, length = 2");
}

}  // namespace
}  // namespace kl
