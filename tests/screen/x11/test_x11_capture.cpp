// Pixel capture from a real X server: a pattern drawn by another client comes back byte for
// byte, through shared memory and through XGetImage, also for a tile that leaves the screen.
#include "XvfbTestSupport.h"
#include "platform/x11/X11Capture.h"
#include "screen/CreateImageBufferForRect.h"
#include "screen/DisplayServer.h"

#include <cstdlib>

namespace kl::test {
namespace {

// Checks a captured display-local tile against the pattern; root-window pixels outside the screen
// must be zero.
void expectPattern(const uint8_t* buffer, const X11Rect& rootArea, int screenW, int screenH) {
    int mismatches = 0;
    for (int row = 0; row < rootArea.height && mismatches < 5; ++row) {
        for (int col = 0; col < rootArea.width && mismatches < 5; ++col) {
            int x = rootArea.x + col, y = rootArea.y + row;
            const uint8_t* p = buffer + (size_t(row) * rootArea.width + col) * 4;
            uint32_t want = x < screenW && y < screenH ? Client::patternPixel(x, y) : 0;
            uint8_t expected[4] = {uint8_t(want), uint8_t(want >> 8), uint8_t(want >> 16), 0};
            if (std::memcmp(p, expected, 4) != 0) {
                ++mismatches;
                ADD_FAILURE() << "pixel (" << x << ", " << y << ")";
            }
        }
    }
}

TEST(X11Capture, PatternComesBackByteForByte) {
    KL_START_XVFB(xvfb, 3360, 1100);
    auto split = splitMonitors({"KL-PRIMARY:1440x900+0+200", "KL-SIDE:1920x1080+1440+0"});
    ASSERT_TRUE(split);
    Client client;
    client.drawPattern(1200, 0, 600, 1100);
    Client names;
    uint32_t primary = names.atom("KL-PRIMARY"), side = names.atom("KL-SIDE");

    struct Case {
        const char* name;
        uint32_t display;
        Rect local;
        X11Rect root;
    } cases[] = {
        {"inside the side display", side, Rect(10, 20, 300, 100), {1450, 20, 300, 100}},
        {"half below the screen", primary, Rect(1300, 850, 300, 100), {1300, 1050, 300, 100}},
    };
    X11Connection* connection = X11Connection::forThisThread();
    ASSERT_TRUE(connection);
    X11Capture viaGetImage(*connection, false);
    EXPECT_FALSE(viaGetImage.usesShm());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Size size;
        uint8_t* shm = CreateImageBufferForRect(nullptr, c.display, &size, 1.0, c.local);
        ASSERT_NE(shm, nullptr);
        EXPECT_EQ(size, (Size{c.local.size.width, c.local.size.height}));
        expectPattern(shm, c.root, 3360, 1100);
        std::vector<uint8_t> plain(size_t(c.root.width) * c.root.height * 4, 0xAB);
        ASSERT_EQ(CreateImageBufferForRectWith(viaGetImage, plain.data(), c.display, &size, 1.0, c.local), plain.data());
        EXPECT_EQ(std::memcmp(plain.data(), shm, plain.size()), 0);
        std::free(shm);
    }
    X11Capture viaShm(*connection);
    EXPECT_TRUE(viaShm.usesShm());

    // A full frame is read in bands that fit the segment.
    std::vector<uint8_t> frame(size_t(3360) * 1100 * 4);
    ASSERT_TRUE(viaShm.capture({0, 0, 3360, 1100}, frame.data()));
    std::vector<uint8_t> tile(size_t(600) * 1100 * 4);
    for (int row = 0; row < 1100; ++row)
        std::memcpy(&tile[size_t(row) * 600 * 4], &frame[(size_t(row) * 3360 + 1200) * 4], 600 * 4);
    expectPattern(tile.data(), {1200, 0, 600, 1100}, 3360, 1100);

    Size untouched{-1, -1};
    EXPECT_EQ(CreateImageBufferForRect(nullptr, 12345, &untouched, 1.0, Rect(0, 0, 10, 10)), nullptr);
    EXPECT_EQ(untouched.width, -1);
}

}  // namespace
}  // namespace kl::test
