// The viewer stand-in and the service's codec, written apart, agree on what the viewer sends and
// on the output-sideband datagrams.
#include <gtest/gtest.h>

#include "ViewerMessages.h"
#include "screen/protocol/ClientHandshake.h"
#include "screen/protocol/InputDatagrams.h"
#include "screen/protocol/OutputDatagrams.h"
#include "screen/protocol/ServerMessages.h"

namespace kl {
namespace {

TEST(ViewerMessages, HandshakesOfEachVersionReadBack) {
    viewer::ViewerHandshake h;
    h.clientId = 0xABCDEF;
    h.width = 1280;
    h.height = 800;
    h.androidFlags = 1;
    h.iconHashes = {std::vector<uint8_t>(16, 0x11), std::vector<uint8_t>(16, 0x22)};
    const struct {
        uint8_t major, minor, sub;
        size_t length;
    } cases[] = {{0, 1, 2, 5}, {1, 1, 1, 105 + 32}, {1, 1, 2, 109 + 32}};
    for (const auto& c : cases) {
        h.major = c.major, h.minor = c.minor, h.sub = c.sub;
        const auto bytes = viewer::handshakeBytes(h);
        ASSERT_EQ(bytes.size(), c.length);
        auto read = readClientHandshake(bytes);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->length, c.length);
        const bool capabilities = c.length > 5;
        EXPECT_EQ(read->message.capabilities.deskgateClientId, capabilities ? 0xABCDEFu : 0u);
        EXPECT_EQ(read->message.capabilities.encodingModes, capabilities ? 0x80u : 0u);
        EXPECT_EQ(read->message.capabilities.androidFlags, capabilities ? 1 : 0);
        EXPECT_EQ(read->message.requestedDisplaySize.nominalWidth, c.sub >= 2 && capabilities ? 1280 : 0);
        ASSERT_EQ(read->iconHashes.size(), capabilities ? 2u : 0u);
        if (capabilities) {
            EXPECT_EQ(read->iconHashes[1][15], 0x22);
        }
    }
}

TEST(ViewerMessages, InputDatagramsReadBack) {
    auto tap = readInputDatagram(viewer::tapBytes(4, 300, 200, 0x08));
    ASSERT_TRUE(tap);
    EXPECT_EQ(std::get<TapEventMessage>(*tap.datagram).tapType, 4);
    EXPECT_EQ(std::get<TapEventMessage>(*tap.datagram).x, 300);
    EXPECT_EQ(std::get<TapEventMessage>(*tap.datagram).modifiers, 0x08);

    auto mouse = readInputDatagram(viewer::mouseBytes(1, -20, 500));
    ASSERT_TRUE(mouse);
    EXPECT_EQ(std::get<MouseEventMessage>(*mouse.datagram).x, -20);
    EXPECT_EQ(std::get<MouseEventMessage>(*mouse.datagram).y, 500);

    auto scroll = readInputDatagram(viewer::scrollBytes(0.0f, 3.7f));
    ASSERT_TRUE(scroll);
    EXPECT_EQ(std::get<ScrollEventMessage>(*scroll.datagram).vertical, 3.7f);
}

TEST(ViewerMessages, SidebandDatagramsReadBack) {
    Bytes cursor;
    writeCursorPositionRect(cursor, uint16_t(-12), 40, true);
    auto c = viewer::readSidebandDatagram(cursor);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->kind, viewer::SidebandDatagram::CursorPosition);
    EXPECT_EQ(c->x, -12);
    EXPECT_EQ(c->y, 40);
    EXPECT_TRUE(c->visible);

    auto active = viewer::readSidebandDatagram(writeActiveApplicationDatagram(31337));
    ASSERT_TRUE(active);
    EXPECT_EQ(active->processID, 31337);

    SerializedMenuItem top, sub;
    top.title = "Edit";
    sub.title = std::string(70000, 'x');  // cut to what the length field can say
    const SerializedMenuItem items[] = {top, sub};
    const Bytes menu = writeMenuDatagram(0xFEED, 99, items);
    auto m = viewer::readSidebandDatagram(menu);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->menuHandle, 0xFEEDu);
    EXPECT_EQ(m->applicationID, 99u);
    ASSERT_EQ(m->menuTitles.size(), 2u);
    EXPECT_EQ(m->menuTitles[0], "Edit");
    EXPECT_EQ(m->menuTitles[1].size(), 65535u);
    // A datagram whose length field disagrees with its size is refused.
    EXPECT_FALSE(viewer::readSidebandDatagram(std::span(menu).first(menu.size() - 1)));
}

}  // namespace
}  // namespace kl
