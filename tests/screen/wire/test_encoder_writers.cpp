// The encoder's record writers fed straight from pixel buffers, read back by the viewer stand-in:
// zlib rectangles on the encoder's one deflate stream, lossless and JPEG pictures, positions
// relative to the display set, and the records that stand in for what could not be encoded.
#include <gtest/gtest.h>

#include "TestPictures.h"
#include "ViewerUpdateStream.h"
#include "screen/KLTDisplay.h"
#include "screen/KLTDisplaySet.h"
#include "screen/encoder/KLTNimEncoder.h"
#include "screen/protocol/ServerMessages.h"

namespace kl {
namespace {

using test::gradientPicture;
using test::psnr;
using test::TestPicture;

struct Writers {
    explicit Writers(uint16_t androidFlags = 0) {
        ClientCapabilities capabilities;
        capabilities.androidFlags = androidFlags;
        encoder.setEncoderInformation(std::make_shared<KLTDisplaySet>(), nullptr, capabilities);
        encoder.setOutput(output);
        // A display placed at (1000, 500) in a set whose origin is (900, 400).
        display.setOurOrigin({1000, 500});
        display.setOffsetFromOrigin({100, 100});
    }
    // The viewer reads the bytes written so far as one update of count records.
    viewer::ViewerUpdateStream& read(int count, bool rgbaRows = false) {
        stream = std::make_unique<viewer::ViewerUpdateStream>(rgbaRows);
        stream->framebuffer().resize(320, 200);
        Bytes update;
        writeScreenUpdateHeader(update, 0x20, uint16_t(count));
        update.insert(update.end(), output->bytes().begin(), output->bytes().end());
        stream->feed(update);
        return *stream;
    }

    std::shared_ptr<ByteBufferOutput> output = std::make_shared<ByteBufferOutput>();
    KLTNimEncoder encoder;
    KLTDisplay display;
    std::unique_ptr<viewer::ViewerUpdateStream> stream;
};

TEST(EncoderWriters, ZlibRectanglesShareOneStreamAndComeBackExactly) {
    for (bool rgba : {false, true}) {
        SCOPED_TRACE(rgba);
        Writers w(rgba ? 1 : 0);
        const TestPicture top = gradientPicture(64, 40, 1), bottom = gradientPicture(64, 40, 2);
        const uint32_t topBytes = w.encoder.sendZlibRect(Rect(1000, 500, 64, 40), top.pixels.data(), w.display);
        w.encoder.sendZlibRect(Rect(1000, 540, 64, 40), bottom.pixels.data(), w.display);
        auto& viewer = w.read(2, rgba);
        ASSERT_FALSE(viewer.failed()) << viewer.failure();
        ASSERT_EQ(viewer.records.size(), 2u);
        EXPECT_EQ(viewer.records[0].length, topBytes);
        EXPECT_EQ(viewer.records[0].x, 100);
        EXPECT_EQ(viewer.records[1].y, 140);
        EXPECT_EQ(psnr(viewer.framebuffer().picture().pixels, 320, 100, 100, top), INFINITY);
        EXPECT_EQ(psnr(viewer.framebuffer().picture().pixels, 320, 100, 140, bottom), INFINITY);
    }
}

TEST(EncoderWriters, PicturesLandWhereTheRecordSays) {
    Writers w;
    const TestPicture png = gradientPicture(50, 30, 3), cold = gradientPicture(80, 60, 4);
    w.encoder.sendImageRect(Rect(1000, 500, 50, 30), png.pixels.data(), kEncodingPNG, 0.99, w.display);
    w.encoder.sendImageRect(Rect(1100, 540, 80, 60), cold.pixels.data(), kEncodingJPEG, 0.99, w.display);
    auto& viewer = w.read(2);
    ASSERT_FALSE(viewer.failed()) << viewer.failure();
    ASSERT_EQ(viewer.records.size(), 2u);
    EXPECT_EQ(viewer.records[0].encoding, kEncodingPNG);
    EXPECT_EQ(psnr(viewer.framebuffer().picture().pixels, 320, 100, 100, png), INFINITY);
    EXPECT_EQ(viewer.records[1].x, 200);
    EXPECT_EQ(viewer.records[1].y, 140);
    EXPECT_GE(psnr(viewer.framebuffer().picture().pixels, 320, 200, 140, cold), 40.0);
}

TEST(EncoderWriters, WhatCannotBeEncodedStillTakesOneRecord) {
    Writers w;
    const TestPicture picture = gradientPicture(8, 8);
    w.encoder.sendImageRect(Rect(1000, 500, 0, 8), picture.pixels.data(), kEncodingJPEG, 0.3, w.display);
    w.encoder.sendImageRect(Rect(1000, 500, 8, 8), nullptr, kEncodingJPEG, 0.3, w.display);
    w.encoder.sendDummyRect();
    Bytes expected;
    writeRectHeader(expected, {100, 100, 0, 0, kEncodingZlib, 0});
    writeRectHeader(expected, {100, 100, 0, 0, kEncodingZlib, 0});
    writePlaceholderRect(expected);
    EXPECT_EQ(w.output->bytes(), expected);
}

}  // namespace
}  // namespace kl
