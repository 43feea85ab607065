// The tile encoder against a real X server: how dirty areas become tiles (halving, clipping,
// budget cuts, squeezing), when a tile goes out hot or cold, and the update header's count.
#include <turbojpeg.h>

#include <future>

#include "XvfbTestSupport.h"
#include "screen/KLTDisplaySet.h"
#include "screen/encoder/KLTNimEncoder.h"
#include "screen/protocol/ScreenProtocol.h"

namespace kl::test {
namespace {

// One record as a viewer sees it, with what its JPEG says of itself.
struct Tile {
    int x = 0, y = 0, w = 0, h = 0, encoding = 0;
    uint32_t length = 0;
    int pictureW = 0, pictureH = 0, subsampling = -1;
};

struct Update {
    int designation = 0, count = 0;
    std::vector<Tile> tiles;
};

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// Reads one display's update (header, then records up to the end of the bytes).
Update parseUpdate(const Bytes& bytes) {
    Update update;
    if (bytes.size() < 3) {
        ADD_FAILURE() << "no update header";
        return update;
    }
    update.designation = bytes[0];
    update.count = le16(&bytes[1]);
    size_t at = 3;
    tjhandle decoder = tjInitDecompress();
    while (at + 13 <= bytes.size()) {
        const uint8_t* p = &bytes[at];
        Tile t{le16(p), le16(p + 2), le16(p + 4), le16(p + 6), p[8],
               uint32_t(p[9] | p[10] << 8 | p[11] << 16 | uint32_t(p[12]) << 24)};
        at += 13;
        if (at + t.length > bytes.size()) {
            ADD_FAILURE() << "record payload runs past the bytes";
            break;
        }
        if (t.encoding == kEncodingJPEG || t.encoding == kEncodingSqueezedJPEG) {
            int colourspace = 0;
            EXPECT_EQ(tjDecompressHeader3(decoder, &bytes[at], t.length, &t.pictureW, &t.pictureH, &t.subsampling,
                                          &colourspace),
                      0);
        }
        at += t.length;
        update.tiles.push_back(t);
    }
    tjDestroy(decoder);
    EXPECT_EQ(at, bytes.size());
    return update;
}

bool isCold(const Tile& t) { return t.encoding == kEncodingJPEG && t.subsampling == TJSAMP_444; }
bool isHot(const Tile& t) { return t.subsampling == TJSAMP_420; }

class NimEncoderTest : public ::testing::Test {
protected:
    // Starts the server and an encoder over its one display, writing into a buffer.
    bool start(int w, int h, uint32_t encodingModes = 0) {
        if (!std::filesystem::exists(kXvfb)) return false;
        xvfb = std::make_unique<Xvfb>(w, h);
        if (!xvfb->started()) return false;
        client = std::make_unique<Client>();
        client->drawTestDesktop(w, h);
        set = KLTDisplaySet::forActiveScreens();
        if (set->displays().size() != 1) return false;
        display = *set->displays().begin();
        ClientCapabilities capabilities;
        capabilities.encodingModes = encodingModes;
        encoder.setEncoderInformation(set, nullptr, capabilities);
        encoder.setOutput(output);
        return true;
    }
    Update encode(int extra = 0, uint32_t designation = 0x20) {
        output->bytes().clear();
        encoder.encodeFrame(extra, false, display, designation);
        return parseUpdate(output->bytes());
    }
    std::vector<KLRect> queued() { return display->rectManager()->newArrayOfDirtyRectangles(); }

    std::unique_ptr<Xvfb> xvfb;
    std::unique_ptr<Client> client;
    std::shared_ptr<KLTDisplaySet> set;
    std::shared_ptr<KLTDisplay> display;
    std::shared_ptr<ByteBufferOutput> output = std::make_shared<ByteBufferOutput>();
    KLTNimEncoder encoder;
};

#define START(...) \
    if (!start(__VA_ARGS__)) GTEST_SKIP() << "no Xvfb with one monitor"

TEST_F(NimEncoderTest, LargeRectanglesAreHalvedInPlace) {
    START(2000, 1100);
    struct Case {
        Rect dirty;
        std::vector<std::pair<int, int>> rows;  // (y, height) of each tile, in order
    } cases[] = {
        {Rect(0, 0, 1000, 1000), {{0, 250}, {250, 250}, {500, 250}, {750, 250}}},
        {Rect(0, 10, 1920, 301), {{10, 150}, {160, 151}}},
        {Rect(0, 0, 600, 600), {{0, 600}}},  // 360,000 pixels: not above the limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dirty.size.width);
        display->clearRectangles();
        display->addDirtyRectangle(c.dirty);
        Update u = encode();
        ASSERT_EQ(u.count, int(c.rows.size()));
        ASSERT_EQ(u.tiles.size(), c.rows.size());
        for (size_t i = 0; i < c.rows.size(); ++i) {
            EXPECT_EQ(u.tiles[i].x, 0);
            EXPECT_EQ(u.tiles[i].y, c.rows[i].first);
            EXPECT_EQ(u.tiles[i].w, int(c.dirty.size.width));
            EXPECT_EQ(u.tiles[i].h, c.rows[i].second);
            EXPECT_EQ(u.tiles[i].pictureW, u.tiles[i].w);
            EXPECT_EQ(u.tiles[i].pictureH, u.tiles[i].h);
        }
        EXPECT_TRUE(queued().empty());
    }
}

TEST_F(NimEncoderTest, HeaderCountsTheCallersExtraRecords) {
    START(640, 480);
    EXPECT_EQ(encode(3).tiles.size(), 0u);
    EXPECT_EQ(output->bytes(), (Bytes{0x20, 0x03, 0x00}));
    display->addDirtyRectangle(Rect(10, 10, 50, 50));
    Update u = encode(2, 0x128);  // only the designation's low byte goes out
    EXPECT_EQ(u.designation, 0x28);
    EXPECT_EQ(u.count, 3);
    EXPECT_EQ(u.tiles.size(), 1u);
}

TEST_F(NimEncoderTest, RefreshesDoNotWaitForAnUpdate) {
    START(640, 480);
    std::unique_lock update(encoder.lock());  // as the server holds it around a frame
    auto refresh = std::async(std::launch::async, [this] { encoder.addDirtyRectangle(Rect(10, 10, 20, 20)); });
    const bool done = refresh.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    update.unlock();
    refresh.wait();
    EXPECT_TRUE(done);
    EXPECT_EQ(queued().size(), 1u);
}

TEST_F(NimEncoderTest, RectangleOutsideTheDisplayIsOnePlaceholder) {
    START(640, 480);
    display->addDirtyRectangle(Rect(5000, 5000, 40, 40));
    // A lossy area left outside (say the display shrank) must not come back in every update.
    display->lossyRects()->addRectangle(Rect(3000, 100, 40, 40));
    Update u = encode();
    ASSERT_EQ(u.count, 2);
    for (const Tile& t : u.tiles) {
        EXPECT_EQ(t.encoding, kEncodingCursorPosition);
        EXPECT_EQ(t.x | t.y | t.w | t.h | int(t.length), 0);
    }
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(encode().count, 0);
}

TEST_F(NimEncoderTest, SmallTilesAreAlwaysCold) {
    START(640, 480);
    struct Case {
        int w, h;
        bool hot;
    } cases[] = {{31, 33, false}, {32, 32, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.w);
        display->clearRectangles();
        display->addDirtyRectangle(Rect(100, 100, c.w, c.h));
        Update u = encode();
        ASSERT_EQ(u.tiles.size(), 1u);
        EXPECT_EQ(isHot(u.tiles[0]), c.hot);
        EXPECT_EQ(isCold(u.tiles[0]), !c.hot);
    }
}

TEST_F(NimEncoderTest, HotTilesAreSqueezedForViewersThatTakeThem) {
    START(640, 480, kEncodingModeSqueezedJPEG);
    struct Case {
        int h;
        int encoding, pictureW, pictureH;
    } cases[] = {{103, kEncodingSqueezedJPEG, 100, 52}, {102, kEncodingJPEG, 200, 102}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.h);
        display->clearRectangles();
        display->addDirtyRectangle(Rect(40, 60, 200, c.h));
        Update u = encode();
        ASSERT_EQ(u.tiles.size(), 1u);
        const Tile& t = u.tiles[0];
        EXPECT_EQ(t.encoding, c.encoding);
        EXPECT_EQ(t.x, 40);
        EXPECT_EQ(t.y, 60);
        EXPECT_EQ(t.w, 200);
        EXPECT_EQ(t.h, c.h);
        EXPECT_EQ(t.pictureW, c.pictureW);
        EXPECT_EQ(t.pictureH, c.pictureH);
        EXPECT_TRUE(isHot(t));
    }
}

TEST_F(NimEncoderTest, WithoutTheSqueezeBitHotTilesGoFullSize) {
    START(640, 480);
    display->addDirtyRectangle(Rect(40, 60, 200, 103));
    Update u = encode();
    ASSERT_EQ(u.tiles.size(), 1u);
    EXPECT_EQ(u.tiles[0].encoding, kEncodingJPEG);
    EXPECT_EQ(u.tiles[0].pictureH, 103);
    EXPECT_TRUE(isHot(u.tiles[0]));
}

TEST_F(NimEncoderTest, HotAreaIsResentColdOnceTheHeatMapForgetsIt) {
    START(800, 600);
    const Rect area(100, 50, 300, 200);
    display->addDirtyRectangle(area);
    Update first = encode();
    ASSERT_EQ(first.tiles.size(), 1u);
    EXPECT_TRUE(isHot(first.tiles[0]));
    EXPECT_EQ(display->lossyRects()->count(), 1u);

    // Changes elsewhere keep the heat map full of other areas; the first one stays in it for
    // five updates and is resent cold in the update that drops it.
    int resentAt = 0;
    for (int update = 1; update <= 6 && !resentAt; ++update) {
        display->addDirtyRectangle(Rect(500, 400, 40, 40));
        Update u = encode();
        for (const Tile& t : u.tiles)
            if (t.x == 100 && t.y == 50) {
                EXPECT_TRUE(isCold(t));
                EXPECT_EQ(t.w, 300);
                EXPECT_EQ(t.h, 200);
                resentAt = update;
            }
    }
    EXPECT_EQ(resentAt, 5);
    EXPECT_EQ(display->lossyRects()->containsRect(area), 0.0);
}

// 1024 x 400 is above the split limit, so it goes out as two 1024 x 200 halves, each cut to the
// budget on its own; the rows cut off go out in the following updates.
TEST_F(NimEncoderTest, ColdTilesAreCutToTheProtocolsBudget) {
    START(1280, 1024);
    using Rows = std::vector<std::pair<int, int>>;  // (y, height) of the tiles of one update
    struct Case {
        int protocol;
        std::vector<Rows> updates;
    } cases[] = {
        {1, {{{100, 80}, {300, 80}}, {{180, 80}, {380, 80}}, {{260, 40}, {460, 40}}}},
        {0, {{{100, 160}, {300, 160}}, {{260, 40}, {460, 40}}}},
        {3, {{{100, 200}, {300, 200}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol);
        display->clearRectangles();
        encoder.setActiveProtocol(c.protocol);
        display->addDirtyRectangle(Rect(0, 100, 1024, 400));
        Update hot = encode();
        ASSERT_EQ(hot.tiles.size(), 2u);
        for (const Tile& t : hot.tiles) {
            EXPECT_TRUE(isHot(t));
            EXPECT_EQ(t.h, 200);  // hot tiles are never cut
        }
        for (const Rows& rows : c.updates) {
            Update u = encode();
            ASSERT_EQ(u.tiles.size(), rows.size());
            for (size_t i = 0; i < rows.size(); ++i) {
                EXPECT_TRUE(isCold(u.tiles[i]));
                EXPECT_EQ(u.tiles[i].w, 1024);
                EXPECT_EQ(u.tiles[i].y, rows[i].first);
                EXPECT_EQ(u.tiles[i].h, rows[i].second);
                EXPECT_EQ(u.tiles[i].pictureH, rows[i].second);
            }
        }
        EXPECT_EQ(encode().count, 0);
        EXPECT_EQ(display->lossyRects()->count(), 0u);
    }
}

// A fresh change can be cold too: after four updates of nearly the whole screen, the whole screen
// scores 0.84 against a threshold of 0.8856. Its rows past the budget stay in the dirty queue.
TEST_F(NimEncoderTest, FreshColdTileIsCutAndTheRestStaysQueued) {
    START(640, 480);
    for (int update = 0; update < 4; ++update) {
        display->addDirtyRectangle(Rect(0, 0, 640, 470));
        encode();
    }
    display->addDirtyRectangle(Rect(0, 0, 640, 480));
    Update u = encode();
    ASSERT_EQ(u.tiles.size(), 1u);
    EXPECT_TRUE(isCold(u.tiles[0]));
    EXPECT_EQ(u.tiles[0].y, 0);
    EXPECT_EQ(u.tiles[0].h, 128);  // 640 x 128 x 2 bytes = the 163,840 of protocol 1
    auto rest = queued();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].rect, Rect(0, 128, 640, 352));
}

}  // namespace
}  // namespace kl::test
