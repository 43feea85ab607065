#include "screen/encoder/KLTNimEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/KLTLogging.h"
#include "platform/image/ImageFiles.h"
#include "screen/KLTDisplay.h"
#include "screen/KLTScreen.h"
#include "screen/protocol/ScreenWireWriter.h"

namespace kl {

namespace {

// The byte budget of one cold tile under the service's protocol; 0 for none.
uint64_t budgetForProtocol(int protocol) {
    if (protocol == 1) return KLTNimEncoder::kBudgetProtocol1;
    if (protocol == 0) return KLTNimEncoder::kBudgetProtocol0;
    return 0;
}

uint64_t pixelArea(const Rect& r) { return uint64_t(std::trunc(r.size.width * r.size.height)); }

// Halves every rectangle above the split limit, each half in its parent's place, until none is.
void splitLargeRectangles(std::vector<KLRect>& list) {
    bool split = true;
    while (split) {
        split = false;
        std::vector<KLRect> next;
        next.reserve(list.size() * 2);
        for (const KLRect& r : list) {
            const int64_t h = int64_t(std::trunc(r.rect.size.height));
            const int64_t top = h / 2;
            // A one-row rectangle cannot be halved; it goes out as it is rather than loop forever.
            if (pixelArea(r.rect) > KLTNimEncoder::kSplitPixels && top > 0) {
                const Rect& o = r.rect;
                next.push_back(KLRect{Rect(o.origin.x, o.origin.y, o.size.width, double(top)), false, {}});
                next.push_back(KLRect{Rect(o.origin.x, o.origin.y + double(top), o.size.width, double(h - top)), false, {}});
                split = true;
            } else {
                next.push_back(r);
            }
        }
        list.swap(next);
    }
}

}  // namespace

void KLTNimEncoder::setEncoderInformation(std::shared_ptr<KLTDisplaySet> displaySet, std::shared_ptr<KLNetSocket> socket,
                                          const ClientCapabilities& capabilities) {
    std::lock_guard lock(mLock);
    KLTBaseNimEncoder::setEncoderInformation(std::move(displaySet), socket, capabilities);
    if (!mOutputGiven) mOutput = socket ? std::make_shared<SocketOutput>(std::move(socket)) : nullptr;
}

void KLTNimEncoder::setOutput(std::shared_ptr<EncoderOutput> output) {
    std::lock_guard lock(mLock);
    mOutputGiven = output != nullptr;
    mOutput = output ? std::move(output) : (mClientSocket ? std::make_shared<SocketOutput>(mClientSocket) : nullptr);
}

void KLTNimEncoder::send(const Bytes& bytes) {
    if (mOutput) mOutput->write(bytes);
}

RectHeader KLTNimEncoder::recordHeader(const Rect& rect, KLTDisplay& display, uint8_t encoding) const {
    // Positions are relative to the display set's origin, kept as 16-bit two's complement.
    const Point offset = display.offsetFromOrigin(), origin = display.ourOrigin();
    RectHeader header;
    header.x = uint16_t(int32_t(std::trunc(rect.origin.x + offset.x - origin.x)));
    header.y = uint16_t(int32_t(std::trunc(rect.origin.y + offset.y - origin.y)));
    header.w = uint16_t(int32_t(std::trunc(rect.size.width)));
    header.h = uint16_t(int32_t(std::trunc(rect.size.height)));
    header.encoding = encoding;
    return header;
}

double KLTNimEncoder::scoreRectangleHeat(const Rect& rect, KLTDisplay& display) {
    const auto& heatMap = display.updateHeatMap();
    if (heatMap.empty()) return 0.0;
    double sum = 0;
    for (const auto& entry : heatMap) sum += entry->containsRect(rect);
    return sum / double(heatMap.size());
}

double KLTNimEncoder::lossyThresholdForDisplay(KLTDisplay* display) {
    if (!display) return 0.0;
    const Rect bounds = display->scaleCorrectedDisplayBounds();
    const double cellW = bounds.size.width / kHeatGrid, cellH = bounds.size.height / kHeatGrid;
    double sum = 0;
    for (int j = 0; j < kHeatGrid; ++j)
        for (int i = 0; i < kHeatGrid; ++i)
            sum += scoreRectangleHeat(Rect(bounds.origin.x + i * cellW, bounds.origin.y + j * cellH, cellW, cellH),
                                      *display);
    return sum / double(kHeatGrid * kHeatGrid) * kThresholdFactor;
}

void KLTNimEncoder::sendDummyRect() {
    mRecord.clear();
    writePlaceholderRect(mRecord);
    send(mRecord);
}

void KLTNimEncoder::sendImageRect(const Rect& rect, const uint8_t* pixels, uint8_t encoding, double quality,
                                  KLTDisplay& display) {
    RectHeader header = recordHeader(rect, display, encoding);
    const int w = int(std::trunc(rect.size.width)), h = int(std::trunc(rect.size.height));
    const float factor = (float(quality) - 0.125f) / 0.875f;
    KLAssert(factor >= 0.0f && factor <= 1.0f, "quality out of bounds");
    mRecord.clear();
    const PixelView picture = PixelView::packed(pixels, w, h);
    std::span<const uint8_t> encoded;
    Bytes png;
    bool made = false;
    if (picture.valid()) {
        if (encoding == kEncodingPNG) {
            auto file = encodePNG(picture);
            if (file) {
                png = std::move(*file);
                encoded = png;
                made = true;
            }
        } else {
            auto jpeg = mJpeg.compress(picture, factor);
            if (jpeg) {
                encoded = *jpeg;
                made = true;
            } else {
                KLLog(kKLTLoggingLevelError, "JPEG of a %d x %d tile failed: %s", w, h, jpeg.error().description().c_str());
            }
        }
    }
    if (!made) {
        // Still one record, so that the update's count holds.
        header.w = header.h = 0;
        header.encoding = kEncodingZlib;
    }
    writeRectRecord(mRecord, header, encoded);
    send(mRecord);
}

void KLTNimEncoder::sendSqueezedRect(const Rect& rect, const uint8_t* pixels, double factor, KLTDisplay& display) {
    const int w = int(std::trunc(rect.size.width)), h = int(std::trunc(rect.size.height));
    const int sw = int(std::ceil(float(w) * float(factor))), sh = int(std::ceil(float(h) * float(factor)));
    RectHeader header = recordHeader(rect, display, kEncodingSqueezedJPEG);
    mRecord.clear();
    std::span<const uint8_t> encoded;
    if (pixels && w > 0 && h > 0 && sw > 0 && sh > 0) {
        // Nearest pixel at each small pixel's centre: cheap, and the tile is resent sharp once it cools.
        mSqueezeBuffer.resize(size_t(sw) * size_t(sh) * 4);
        std::vector<int> columns(static_cast<size_t>(sw));
        for (int x = 0; x < sw; ++x) columns[size_t(x)] = std::min(w - 1, int((x + 0.5) * w / sw));
        for (int y = 0; y < sh; ++y) {
            const int sy = std::min(h - 1, int((y + 0.5) * h / sh));
            const uint32_t* from = reinterpret_cast<const uint32_t*>(pixels + size_t(sy) * size_t(w) * 4);
            uint32_t* to = reinterpret_cast<uint32_t*>(mSqueezeBuffer.data() + size_t(y) * size_t(sw) * 4);
            for (int x = 0; x < sw; ++x) to[x] = from[columns[size_t(x)]];
        }
        auto jpeg = mJpeg.compress(PixelView::packed(mSqueezeBuffer.data(), sw, sh), kSqueezedJpegFactor);
        if (jpeg) encoded = *jpeg;
        else KLLog(kKLTLoggingLevelError, "JPEG of a squeezed %d x %d tile failed: %s", sw, sh, jpeg.error().description().c_str());
    }
    if (encoded.empty()) {
        header.w = header.h = 0;
        header.encoding = kEncodingZlib;
    }
    writeRectRecord(mRecord, header, encoded);
    send(mRecord);
}

uint32_t KLTNimEncoder::sendZlibRect(const Rect& rect, const uint8_t* pixels, KLTDisplay& display) {
    const uint32_t w = uint32_t(std::max(0.0, std::trunc(rect.size.width)));
    const uint32_t h = uint32_t(std::max(0.0, std::trunc(rect.size.height)));
    const uint32_t rowBytes = w * 4;
    const uint32_t raw = rowBytes * h;
    // Room for the worst case of deflate, grown in small steps should it still run short.
    std::vector<uint8_t> out(size_t((raw + 99) / 60 + raw + 64));
    std::vector<uint8_t> row(rowBytes);
    const bool rgba = (mCapabilities.androidFlags & 1) != 0;
    size_t used = 0;
    mDeflate_strm.data_type = Z_BINARY;
    for (uint32_t y = 0; y < h && pixels; ++y) {
        const uint8_t* line = pixels + size_t(y) * rowBytes;
        if (rgba) {
            for (uint32_t x = 0; x < w; ++x) {
                row[x * 4 + 0] = line[x * 4 + 2];
                row[x * 4 + 1] = line[x * 4 + 1];
                row[x * 4 + 2] = line[x * 4 + 0];
                row[x * 4 + 3] = 255;
            }
            line = row.data();
        }
        mDeflate_strm.next_in = const_cast<Bytef*>(line);
        mDeflate_strm.avail_in = rowBytes;
        const int flush = y + 1 == h ? Z_SYNC_FLUSH : Z_NO_FLUSH;
        for (;;) {
            if (used == out.size()) out.resize(out.size() + 2048);
            mDeflate_strm.next_out = out.data() + used;
            mDeflate_strm.avail_out = uInt(out.size() - used);
            const int result = deflate(&mDeflate_strm, flush);
            used = out.size() - mDeflate_strm.avail_out;
            if (result != Z_OK && result != Z_BUF_ERROR) {
                KLLog(kKLTLoggingLevelError, "Zlib died with error %d - avail_out %d, avail_in %d, rowWidth %u rectWidth %f",
                      result, int(mDeflate_strm.avail_out), int(mDeflate_strm.avail_in), rowBytes, rect.size.width);
                // The stream is unusable; a placeholder keeps the update's count.
                sendDummyRect();
                return 0;
            }
            // Done with this row once deflate took it all and had room left over.
            if (mDeflate_strm.avail_in == 0 && mDeflate_strm.avail_out != 0) break;
        }
    }
    mRecord.clear();
    writeRectRecord(mRecord, recordHeader(rect, display, kEncodingZlib), std::span(out.data(), used));
    send(mRecord);
    return uint32_t(used);
}

void KLTNimEncoder::encodeFrame(int extra, bool, const std::shared_ptr<KLTDisplay>& displayPtr,
                                uint32_t packetDesignation) {
    if (!displayPtr) return;
    std::lock_guard encoderLock(mLock);
    KLTDisplay& display = *displayPtr;
    std::lock_guard displayLock(display.lock());
    const double scale = KLTScreen::scaleForDisplayID(display.displayID());
    auto manager = display.rectManager();
    std::vector<KLRect> list = manager->newArrayOfDirtyRectangles();

    // The heat map keeps the last five merged dirty regions and loses its oldest on a quiet update.
    auto& heatMap = display.updateHeatMap();
    auto merged = manager->newMergedRectExtents();
    if (merged) heatMap.insert(heatMap.begin(), merged);
    if (!heatMap.empty() && (heatMap.size() > kDirtyStackSize || !merged)) heatMap.pop_back();
    UpdatedRectangles heatUnion;
    for (const auto& entry : heatMap) heatUnion.mergeWithRectangles(entry.get());

    // Lossy areas that no longer lie in the heat map are sent again in high quality.
    auto lossy = display.lossyRects();
    auto cooled = lossy->copy();
    cooled->subtractFromRectangles(heatUnion);
    const std::vector<KLRect> cooledRects = cooled->newArrayOfRectangles();
    const size_t cooledCount = cooledRects.size();
    list.insert(list.end(), cooledRects.begin(), cooledRects.end());
    splitLargeRectangles(list);

    const size_t count = list.size();
    mRecord.clear();
    writeScreenUpdateHeader(mRecord, uint8_t(packetDesignation), uint16_t(size_t(extra) + count));
    send(mRecord);
    if (count == 0) return;

    const double threshold = lossyThresholdForDisplay(&display);
    const Rect bounds = display.scaleCorrectedDisplayBounds();
    const uint64_t budget = budgetForProtocol(mActiveProtocol);
    const Point origin = display.ourOrigin();
    for (KLRect& r : list) {
        if (r.moved) {
            manager->ackMovedRectangle(r.rect);
            const RectHeader h = recordHeader(r.rect, display, kEncodingCopyRect);
            mRecord.clear();
            writeCopyRect(mRecord, h.x, h.y, h.w, h.h, int16_t(std::trunc(r.delta.x)), int16_t(std::trunc(r.delta.y)));
            send(mRecord);
            continue;
        }
        const Rect clip = r.rect.intersection(bounds);
        if (clip.isNull() || clip.size.width <= 0 || clip.size.height <= 0) {
            sendDummyRect();
            // The whole rectangle leaves the lossy region: a lossy area now outside the display
            // would otherwise come back as a placeholder in every update.
            lossy->cleanRectangle(r.rect);
            manager->cleanRectangle(r.rect);
            continue;
        }
        const uint64_t estimate = uint64_t(std::trunc(r.rect.size.width * r.rect.size.height * 4.0));

        const double heat = scoreRectangleHeat(clip, display);
        const bool onlyCooledAreas = int64_t(count) - 1 < int64_t(cooledCount);
        const bool cold = estimate < kSmallTileBytes || onlyCooledAreas || heat <= threshold;

        // Cold tiles lose rows at the bottom until an estimate of 2 bytes a pixel fits the budget;
        // the rows cut off stay dirty for the next update. The capture answers one pixel a point,
        // so the cut is known before capturing and only the rows that go out are read.
        Rect local(clip.origin.x - origin.x, clip.origin.y - origin.y, clip.size.width, clip.size.height);
        const uint64_t tileW = uint64_t(std::trunc(local.size.width)), tileH = uint64_t(std::trunc(local.size.height));
        if (cold && budget && tileW * tileH * 2 > budget && tileH > 2) {
            const double cut = double(tileH - std::max<uint64_t>(2, budget / (tileW * 2)));
            local.size.height -= cut;
            r.rect.size.height -= cut;
        }

        const size_t captureBytes = size_t(tileW) * size_t(std::trunc(local.size.height)) * 4;
        if (mCaptureBuffer.size() < captureBytes) mCaptureBuffer.resize(captureBytes);
        Size captured{-1, -1};
        uint8_t* pixels = captureBytes ? captureRect(mCaptureBuffer.data(), display.displayID(), &captured, scale, local)
                                       : nullptr;
        if (!pixels || captured.width <= 0 || captured.height <= 0) {
            sendDummyRect();
            manager->cleanRectangle(r.rect);
            continue;
        }
        const Rect tile(origin.x + (clip.origin.x - origin.x) * scale, origin.y + (clip.origin.y - origin.y) * scale,
                        captured.width, captured.height);
        if (cold) {
            sendImageRect(tile, pixels, kEncodingJPEG, kColdQuality, display);
            lossy->cleanRectangle(r.rect);
        } else {
            if ((mCapabilities.encodingModes & kEncodingModeSqueezedJPEG) && estimate >= kSqueezeBytes)
                sendSqueezedRect(tile, pixels, kSqueezeFactor, display);
            else
                sendImageRect(tile, pixels, kEncodingJPEG, kJpegQualitySetting, display);
            lossy->addRectangle(r.rect);
        }
        manager->cleanRectangle(r.rect);
    }
}

}  // namespace kl
