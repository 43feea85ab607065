// Golden bytes of every record the service writes on the main channel and the output sideband.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "WireTestBytes.h"
#include "screen/protocol/ApplicationMessages.h"
#include "screen/protocol/OutputDatagrams.h"
#include "screen/protocol/ScreenWireWriter.h"
#include "screen/protocol/ServerMessages.h"

namespace kl {
namespace {

using test::concat;
using test::hexBytes;

TEST(WireRecords, FixedMainChannelMessages) {
    Bytes hello = hexBytes("01 01 01 09 01 00 00 03 00 02 00");
    hello.resize(47, 0);
    EXPECT_EQ(writeServerHello(), hello);
    EXPECT_EQ(writeServerBusy(0x0102030405060708), hexBytes("02 08 07 06 05 04 03 02 01"));
    EXPECT_EQ(writeServerBusy(0), hexBytes("02 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(writeResolutionChange(1440, 900), hexBytes("10 00 00 00 00 a0 05 84 03"));
    EXPECT_EQ(writeDisplayCount(2), hexBytes("25 02 00"));
    EXPECT_EQ(writeAppInfoSection(false), hexBytes("27 00"));
    EXPECT_EQ(writeAppInfoSection(true), hexBytes("27 01"));
    EXPECT_EQ(writeEmptyScreenUpdate(), hexBytes("20 00 00"));
    Bytes header;
    writeScreenUpdateHeader(header, 0x28, 0x0203);
    EXPECT_EQ(header, hexBytes("28 03 02"));
}

TEST(WireRecords, RectangleRecords) {
    Bytes out;
    writeRectRecord(out, {0x0102, 0x0304, 0x0506, 0x0708, kEncodingJPEG, 999}, hexBytes("ff d8 ff"));
    EXPECT_EQ(out, hexBytes("02 01 04 03 06 05 08 07 04 03 00 00 00 ff d8 ff"));

    out.clear();
    writeCursorPositionRect(out, 100, 0xFFFE, true);
    writeCursorPositionRect(out, 5, 6, false);
    EXPECT_EQ(out, hexBytes("64 00 fe ff 01 00 00 00 02 00 00 00 00"
                            "05 00 06 00 00 00 00 00 02 00 00 00 00"));

    out.clear();
    writeCursorImageRect(out, 3, 4, 16, 32, hexBytes("89 50"));
    EXPECT_EQ(out, hexBytes("03 00 04 00 10 00 20 00 03 02 00 00 00 89 50"));

    out.clear();
    writePlaceholderRect(out);
    EXPECT_EQ(out, hexBytes("00 00 00 00 00 00 00 00 02 00 00 00 00"));

    out.clear();
    writeCopyRect(out, 10, 20, 30, 40, -5, 300);
    EXPECT_EQ(out, hexBytes("0a 00 14 00 1e 00 28 00 01 04 00 00 00 fb ff 2c 01"));
}

TEST(WireRecords, CoordinatesAreTruncatedTowardZeroInto16Bits) {
    const struct {
        double value;
        uint16_t wire;
    } cases[] = {
        {12.9, 12},      {-3.7, 0xFFFD},  {-0.5, 0},      {65535.0, 0xFFFF}, {70000.2, 70000 - 65536},
        {-32768.0, 0x8000}, {1e30, 0xFFFF}, {-1e30, 0},  {std::nan(""), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(screenWireCoordinate(c.value), c.wire) << c.value;
}

TEST(WireRecords, ApplicationInformation) {
    AppInfo app;
    app.applicationID = 0x1234;
    app.name = "Ab";
    for (uint8_t i = 0; i < 16; ++i) app.iconHash[i] = i;
    app.icon = hexBytes("49 49 2a 00");
    const Bytes record = hexBytes(
        "21 34 12 00 00 00 00 00 00"   // type, application id
        "06 00 00 00"                  // name bytes
        "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"
        "04 00 00 00"                  // icon bytes
        "ff fe 41 00 62 00"            // byte-order mark, "Ab"
        "49 49 2a 00");
    Bytes out;
    writeAppInfo(out, app);
    EXPECT_EQ(out, record);

    // An icon the viewer already holds goes without its TIFF bytes.
    AppInfo known = app;
    known.icon.clear();
    const Bytes knownRecord = concat({Bytes(record.begin(), record.begin() + 29), hexBytes("00 00 00 00 ff fe 41 00 62 00")});
    const AppInfo both[] = {app, known};
    EXPECT_EQ(writeNewApplicationInfo(both), concat({hexBytes("24 02 00 00 00 00 00 00 00"), record, knownRecord}));
    EXPECT_EQ(writeNewApplicationInfo({}), hexBytes("24 00 00 00 00 00 00 00 00"));
}

TEST(WireRecords, NamesBecomeByteOrderMarkedUtf16) {
    const struct {
        const char* utf8;
        const char* utf16;
    } cases[] = {
        {"", "ff fe"},
        {"\xc3\xa9", "ff fe e9 00"},                        // é
        {"\xe2\x82\xac", "ff fe ac 20"},                    // €
        {"\xf0\x9f\x98\x80", "ff fe 3d d8 00 de"},          // U+1F600 as a surrogate pair
        {"a\xffz", "ff fe 61 00 fd ff 7a 00"},              // a stray byte
        {"\xe2\x82", "ff fe fd ff fd ff"},                  // a cut-off character
        {"\xc0\xaf", "ff fe fd ff fd ff"},                  // an overlong form
        {"\xed\xa0\x80", "ff fe fd ff fd ff fd ff"},        // an encoded surrogate
    };
    for (const auto& c : cases) EXPECT_EQ(unicodeStringBytes(c.utf8), hexBytes(c.utf16)) << c.utf16;
}

TEST(WireRecords, WindowThumbnailAndSnapshot) {
    const WindowStateRecord window{0x0a, 0x0b, 1, 2, 3, 4, 5, 0x01020304};
    const Bytes fields = hexBytes("0a 00 00 00 00 00 00 00 0b 00 00 00 00 00 00 00"
                                  "01 00 02 00 03 00 04 00 05 00 04 03 02 01");
    EXPECT_EQ(writeApplicationThumbHeader(window, 0x200), concat({hexBytes("22"), fields, hexBytes("00 02 00 00")}));

    // No windows: the 9-byte header alone, still saying 30 bytes a record.
    EXPECT_EQ(writeWindowStateSnapshot({}), hexBytes("23 00 00 00 00 1e 00 00 00"));
    const WindowStateRecord two[] = {window, window};
    EXPECT_EQ(writeWindowStateSnapshot(two), concat({hexBytes("23 02 00 00 00 1e 00 00 00"), fields, fields}));
}

SerializedMenuItem menuItem(std::string title) {
    SerializedMenuItem item;
    item.applicationID = 77;
    item.elementHandle = 0x1122334455667788;
    item.flags = kMenuItemEnabled | kMenuItemHasSubmenus;
    item.x = 10;
    item.y = 0;
    item.w = 60;
    item.h = 22;
    item.ordinal = 1;
    item.parentHandle = 0x99;
    item.cmdChar = 'q';
    item.title = std::move(title);
    return item;
}

TEST(WireRecords, MenuRecordsAndMessages) {
    const Bytes record = hexBytes(
        "4d 00 00 00 00 00 00 00 88 77 66 55 44 33 22 11"  // application, element
        "04 00 05 00"                                      // title bytes, flags
        "0a 00 00 00 3c 00 16 00 01 00"                    // x y w h ordinal
        "99 00 00 00 00 00 00 00 71 00 00 00"              // parent, command character
        "46 69 6c 65");                                    // "File"
    Bytes out;
    writeSerializedMenuItem(out, menuItem("File"));
    EXPECT_EQ(out, record);

    const SerializedMenuItem items[] = {menuItem("File"), menuItem("File")};
    EXPECT_EQ(writeMenusMessage(items), concat({hexBytes("26 02 00 00 00 5c 00 00 00"), record, record}));

    // Output sideband: the menu's handle in the header's first 8 bytes, then application id and records.
    EXPECT_EQ(writeMenuDatagram(0x1122334455667788, 77, std::span(items).first(1)),
              concat({hexBytes("88 77 66 55 44 33 22 11 09 36 00 00 00 4d 00 00 00 00 00 00 00"), record}));
    EXPECT_EQ(writeActiveApplicationDatagram(4321), hexBytes("e1 10 00 00 00 00 00 00 08 00 00 00 00"));
    EXPECT_EQ(writeActiveApplicationDatagram(-1), hexBytes("ff ff ff ff ff ff ff ff 08 00 00 00 00"));
}

TEST(WireRecords, LongMenuTitlesAreCutAtACharacterBoundary) {
    const size_t limit = std::numeric_limits<uint16_t>::max();
    const struct {
        const char* name;
        std::string title;
        size_t sent;
    } cases[] = {
        {"fits exactly", std::string(limit, 'a'), limit},
        {"one byte over", std::string(limit + 1, 'a'), limit},
        // A two-byte é straddling the limit is left out whole.
        {"character across the limit", std::string(limit - 1, 'a') + "\xc3\xa9", limit - 1},
        {"four-byte character across", std::string(limit - 2, 'a') + "\xf0\x9f\x98\x80" + "b", limit - 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        writeSerializedMenuItem(out, menuItem(c.title));
        ASSERT_EQ(out.size(), 42 + c.sent);
        EXPECT_EQ(out[16] | out[17] << 8, int(c.sent));
        EXPECT_EQ(std::string(out.begin() + 42, out.end()), c.title.substr(0, c.sent));
    }
}

}  // namespace
}  // namespace kl
