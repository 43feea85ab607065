// The RTP path's encoders: cropping and single-rectangle records, the pacing-only encoder, and
// the RTP encoder on a real X server: coarse changed areas first, then interlaced refinement
// stripes within the frame budget, converging to the screen.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <numeric>
#include <thread>

#include "ScreenDistance.h"
#include "ViewerUpdateStream.h"
#include "XvfbTestSupport.h"
#include "screen/KLTDisplaySet.h"
#include "screen/protocol/ScreenProtocol.h"
#include "screen/rtp/KLTNimRTPEncoder.h"
#include "screen/rtp/KLTNimTheoraEncoder.h"

namespace kl::test {
namespace {

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24); }

TEST(CropAndCopyFrame, CopiesTheRectanglesRowsOrRefusesWhatLiesOutside) {
    // A 6 x 4 frame with rows padded to 28 bytes; each pixel's first byte is 10 y + x.
    constexpr size_t kRow = 28;
    std::vector<uint8_t> frame(kRow * 4, 0xEE);
    for (size_t y = 0; y < 4; ++y)
        for (size_t x = 0; x < 6; ++x) frame[y * kRow + x * 4] = uint8_t(10 * y + x);
    auto crop = cropAndCopyFrame(frame, kRow, Rect(1, 2, 3, 2));
    ASSERT_EQ(crop.size(), 3u * 2 * 4);
    std::vector<int> firsts;
    for (size_t i = 0; i < crop.size(); i += 4) firsts.push_back(crop[i]);
    EXPECT_EQ(firsts, (std::vector<int>{21, 22, 23, 31, 32, 33}));
    for (Rect outside : {Rect(5, 0, 3, 1), Rect(0, 3, 1, 2), Rect(-1, 0, 2, 2), Rect(0, 0, 0, 3)})
        EXPECT_TRUE(cropAndCopyFrame(frame, kRow, outside).empty()) << outside.origin.x << "," << outside.origin.y;
}

TEST(RTPEncoderRecords, HeaderPayloadAndLossyPointByEncoding) {
    KLTNimRTPEncoder encoder;
    std::vector<uint8_t> pixels(8 * 4 * 4, 0x80);
    const std::array<uint8_t, 9> lossy{1, 2, 3, 4, 5, 6, 7, 8, 9};
    struct Case {
        uint8_t encoding;
        std::vector<uint8_t> payloadStart;
        bool lossyPoint;
    };
    const Case cases[] = {
        {4, {0xFF, 0xD8}, false},
        {5, {0x89, 'P', 'N', 'G'}, false},
        {253, {0x89, 'P', 'N', 'G'}, false},
        {15, {0xFF, 0xD8}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.encoding));
        Bytes r = encoder.sendImageRect(Rect(3, 5, 8, 4), pixels.data(), c.encoding, 1.0,
                                        c.lossyPoint ? std::optional(std::span(lossy)) : std::nullopt);
        ASSERT_GT(r.size(), 13u);
        EXPECT_EQ(std::vector<int>({le16(&r[0]), le16(&r[2]), le16(&r[4]), le16(&r[6]), r[8]}),
                  std::vector<int>({3, 5, 8, 4, c.encoding}));
        size_t at = 13;
        if (c.lossyPoint) {
            EXPECT_TRUE(std::equal(lossy.begin(), lossy.end(), r.begin() + 13));
            at += 9;
        }
        EXPECT_EQ(le32(&r[9]), r.size() - at);
        EXPECT_TRUE(std::equal(c.payloadStart.begin(), c.payloadStart.end(), r.begin() + long(at)));
    }
    // No picture: the header alone, at the rectangle's place, with no size.
    Bytes none = encoder.sendImageRect(Rect(7, 9, 8, 4), nullptr, 4, 0.5, std::nullopt);
    EXPECT_EQ(none, (Bytes{7, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    // A whole frame's rectangle goes through the crop.
    std::vector<uint8_t> frame(16 * 16 * 4, 0x40);
    Bytes jpeg = encoder.sendJpegRect(Rect(2, 3, 5, 6), frame, 16 * 4, 0.5);
    EXPECT_EQ(std::vector<int>({le16(&jpeg[4]), le16(&jpeg[6]), jpeg[8], jpeg[13], jpeg[14]}),
              std::vector<int>({5, 6, 4, 0xFF, 0xD8}));
    Bytes png = encoder.sendPngRect(Rect(2, 3, 5, 6), frame, 16 * 4, lossy);
    EXPECT_EQ(png[8], 15);
    EXPECT_TRUE(std::equal(lossy.begin(), lossy.end(), png.begin() + 13));
}

TEST(TheoraEncoder, PacesFramesAtThirtyASecondAndEncodesNothing) {
    KLTNimTheoraEncoder encoder;
    EXPECT_TRUE(encoder.drivesFrameClock());
    EXPECT_EQ(encoder.drivenFramerate(), 30);
    using Clock = std::chrono::steady_clock;
    encoder.waitForNextFrame();  // the first frame: the period since the start has long passed
    const auto first = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    encoder.waitForNextFrame();
    // Measured from the first frame, not from the end of the sleep (which may overshoot on a busy
    // machine): the next frame comes one period (33 ms) after it.
    const auto second = Clock::now();
    EXPECT_GE(second - first, std::chrono::milliseconds(30));
    EXPECT_LT(second - first, std::chrono::milliseconds(33 + 33));  // not a whole period more
    // A frame that is already due is not held back for a whole further period.
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const auto start = Clock::now();
    encoder.waitForNextFrame();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(30));
}

class RTPEncoderTest : public ::testing::Test {
protected:
    bool start(int w, int h) {
        if (!std::filesystem::exists(kXvfb)) return false;
        xvfb = std::make_unique<Xvfb>(w, h);
        if (!xvfb->started()) return false;
        client = std::make_unique<Client>();
        client->drawTestDesktop(w, h);
        set = KLTDisplaySet::forActiveScreens();
        if (set->displays().size() != 1) return false;
        display = *set->displays().begin();
        encoder.setEncoderInformation(set, nullptr, ClientCapabilities{});
        encoder.setOutput(output);
        viewer.framebuffer().resize(w, h);
        width = w;
        height = h;
        return true;
    }
    // One frame, fed to the viewer; its records.
    std::vector<viewer::RectRecord> encode(int extra = 0) {
        output->bytes().clear();
        encoder.encodeFrame(extra, false, display, 0x20);
        const Bytes& bytes = output->bytes();
        EXPECT_GE(bytes.size(), 2u);
        if (bytes.size() >= 2) {
            EXPECT_EQ(le16(&bytes[0]), extra + countRecords(bytes));
        }
        // The frame is an update's count and records: the viewer reads it behind a designation.
        Bytes update{0x20};
        update.insert(update.end(), bytes.begin(), bytes.end());
        size_t before = viewer.records.size();
        viewer.feed(update);
        EXPECT_FALSE(viewer.failed()) << viewer.failure();
        frameBytes = bytes.size() - 2;
        return {viewer.records.begin() + long(before), viewer.records.end()};
    }
    static int countRecords(const Bytes& bytes) {
        int n = 0;
        for (size_t at = 2; at + 13 <= bytes.size(); at += 13 + le32(&bytes[at + 9])) ++n;
        return n;
    }
    double distanceToScreen() {
        return test::distanceToScreen(viewer.framebuffer().picture(), display->displayID(), width, height);
    }

    std::unique_ptr<Xvfb> xvfb;
    std::unique_ptr<Client> client;
    std::shared_ptr<KLTDisplaySet> set;
    std::shared_ptr<KLTDisplay> display;
    std::shared_ptr<ByteBufferOutput> output = std::make_shared<ByteBufferOutput>();
    KLTNimRTPEncoder encoder;
    viewer::ViewerUpdateStream viewer;
    size_t frameBytes = 0;
    int width = 0, height = 0;
};

#define START(...) \
    if (!start(__VA_ARGS__)) GTEST_SKIP() << "no Xvfb with one monitor"

TEST_F(RTPEncoderTest, ChangedAreasGoFirstCoarselyThenStripesRefineTheScreenWithinTheBudget) {
    START(400, 300);
    // The whole screen (120,000 pixels) is halved into two 400 x 150 pieces; the first always goes.
    display->addDirtyRectangle(Rect(0, 0, 400, 300));
    auto first = encode();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(std::vector<int>({first[0].x, first[0].y, first[0].w, first[0].h, first[0].encoding}),
              std::vector<int>({0, 0, 400, 150, 4}));
    for (size_t i = 1; i < first.size(); ++i) EXPECT_EQ(first[i].y, 150);  // the second half, if it fit

    // Frames until the raster has been round all eight passes: every record after the coarse
    // ones is a stripe 4 rows high at a row the interlace order names, and a frame that holds
    // more than one stripe stays within 8000 bytes.
    std::vector<int> stripeRows;  // the row within each 32-row block, as the stripes arrive
    for (int frame = 0; frame < 400 && stripeRows.size() < 9; ++frame) {
        size_t stripes = 0;
        for (const auto& r : encode()) {
            if (r.h == 150) continue;  // the second coarse half, when it did not fit at first
            ++stripes;
            EXPECT_EQ(std::vector<int>({r.x, r.w, r.encoding}), std::vector<int>({0, 400, 4}));
            EXPECT_EQ(r.h, 4);
            if (stripeRows.empty() || stripeRows.back() != r.y % 32) stripeRows.push_back(r.y % 32);
        }
        if (stripes > 1) {
            EXPECT_LT(frameBytes, KLTNimRTPEncoder::kFrameBudget);
        }
    }
    EXPECT_EQ(stripeRows, (std::vector<int>{0, 16, 8, 20, 4, 24, 12, 28, 0}));
    EXPECT_TRUE(display->rectManager()->newArrayOfDirtyRectangles().empty());
    // Fine stripes over the coarse first picture: the viewer now shows the screen.
    EXPECT_LT(distanceToScreen(), 3.0);
}

TEST_F(RTPEncoderTest, AChangeDuringRefinementIsSentFirstAndStripesGoAroundIt) {
    START(320, 240);
    display->addDirtyRectangle(Rect(0, 0, 320, 240));
    encode();
    encode();  // a stripe or more
    client->fill(100, 0, 40, 240, 0x3366CC);
    display->addDirtyRectangle(Rect(100, 0, 40, 240));
    auto records = encode();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(std::vector<int>({records[0].x, records[0].y, records[0].w, records[0].h}),
              std::vector<int>({100, 0, 40, 240}));
    // The stripes of that frame leave the changed columns out: two pieces each.
    for (size_t i = 1; i < records.size(); ++i) {
        const auto& r = records[i];
        EXPECT_TRUE(r.x + r.w <= 100 || r.x >= 140) << r.x << "+" << r.w;
    }
    EXPECT_TRUE(display->rectManager()->newArrayOfDirtyRectangles().empty());
}

TEST_F(RTPEncoderTest, TheWordCountsTheCallersRecordsToo) {
    START(64, 64);
    display->addDirtyRectangle(Rect(0, 0, 64, 64));
    const auto records = encode(2);  // the count check in encode() holds the frame argument
    ASSERT_GE(output->bytes().size(), 2u);
    EXPECT_EQ(le16(&output->bytes()[0]), 2 + records.size());
}

}  // namespace
}  // namespace kl::test
