#include "screen/rtp/KLTNimRTPEncoder.h"

#include <cmath>
#include <cstring>

#include "foundation/KLTLogging.h"
#include "platform/image/ImageFiles.h"
#include "screen/KLTDisplay.h"
#include "screen/protocol/ServerMessages.h"

namespace kl {
namespace {

constexpr uint8_t kEncodingJPEGWithLossyPoint = 15;
constexpr uint8_t kEncodingPNGAlternate = 253;

uint64_t pixelArea(const Rect& r) { return uint64_t(std::trunc(r.size.width) * std::trunc(r.size.height)); }

// Halves (top, then the rest) every rectangle of the split size or more until none is; a one-row
// rectangle cannot be halved and stays as it is.
std::vector<KLRect> splitLarge(std::vector<KLRect> list) {
    std::vector<KLRect> out;
    while (!list.empty()) {
        KLRect r = list.back();
        list.pop_back();
        const double h = std::trunc(r.rect.size.height), top = std::floor(h / 2);
        if (pixelArea(r.rect) >= KLTNimRTPEncoder::kSplitPixels && top > 0) {
            list.push_back(KLRect{Rect(r.rect.origin.x, r.rect.origin.y + top, r.rect.size.width, h - top), false, {}});
            list.push_back(KLRect{Rect(r.rect.origin.x, r.rect.origin.y, r.rect.size.width, top), false, {}});
        } else {
            out.push_back(r);
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> cropAndCopyFrame(std::span<const uint8_t> frame, size_t bytesPerRow, const Rect& rect) {
    if (rect.isNull() || rect.origin.x < 0 || rect.origin.y < 0) return {};
    const size_t x = size_t(rect.origin.x), y = size_t(rect.origin.y);
    const size_t w = size_t(std::max(0.0, rect.size.width)), h = size_t(std::max(0.0, rect.size.height));
    if (w == 0 || h == 0 || (x + w) * 4 > bytesPerRow || (y + h - 1) * bytesPerRow + (x + w) * 4 > frame.size())
        return {};
    std::vector<uint8_t> out(w * h * 4);
    for (size_t row = 0; row < h; ++row)
        std::memcpy(out.data() + row * w * 4, frame.data() + (y + row) * bytesPerRow + x * 4, w * 4);
    return out;
}

KLTNimRTPEncoder::KLTNimRTPEncoder() : mRasterRectangles(std::make_shared<UpdatedRectangles>()) {}

void KLTNimRTPEncoder::setOutput(std::shared_ptr<EncoderOutput> output) {
    std::lock_guard lock(mLock);
    mOutput = std::move(output);
}

Bytes KLTNimRTPEncoder::sendImageRect(const Rect& rect, const uint8_t* pixels, uint8_t encoding, double quality,
                                      std::optional<std::span<const uint8_t, kLossyPointLength>> lossyPoint) {
    RectHeader header;
    header.x = uint16_t(int32_t(std::trunc(rect.origin.x)));
    header.y = uint16_t(int32_t(std::trunc(rect.origin.y)));
    const int w = int(std::trunc(rect.size.width)), h = int(std::trunc(rect.size.height));
    const PixelView picture = PixelView::packed(pixels, w, h);
    Bytes record;
    if (!picture.valid()) {
        writeRectHeader(record, header);
        return record;
    }
    const double factor = (quality - 0.125) / 0.875;
    KLAssert(factor >= 0.0 && factor <= 1.0, "quality out of bounds");
    Bytes png;
    std::span<const uint8_t> encoded;
    if (encoding == kEncodingPNG || encoding == kEncodingPNGAlternate) {
        if (auto file = encodePNG(picture)) {
            png = std::move(*file);
            encoded = png;
        }
    } else if (auto jpeg = mJpeg.compress(picture, std::clamp(factor, 0.0, 1.0))) {
        encoded = *jpeg;
    }
    if (encoded.empty()) {
        writeRectHeader(record, header);
        return record;
    }
    header.w = uint16_t(w);
    header.h = uint16_t(h);
    header.encoding = encoding;
    header.length = uint32_t(encoded.size());
    writeRectHeader(record, header);
    if (encoding == kEncodingJPEGWithLossyPoint) {
        if (lossyPoint)
            record.insert(record.end(), lossyPoint->begin(), lossyPoint->end());
        else
            record.insert(record.end(), kLossyPointLength, 0);
    }
    record.insert(record.end(), encoded.begin(), encoded.end());
    return record;
}

Bytes KLTNimRTPEncoder::sendJpegRect(const Rect& rect, std::span<const uint8_t> frame, size_t bytesPerRow,
                                     double quality) {
    auto pixels = cropAndCopyFrame(frame, bytesPerRow, rect);
    return sendImageRect(rect, pixels.empty() ? nullptr : pixels.data(), kEncodingJPEG, quality, std::nullopt);
}

Bytes KLTNimRTPEncoder::sendPngRect(const Rect& rect, std::span<const uint8_t> frame, size_t bytesPerRow,
                                    std::span<const uint8_t, kLossyPointLength> lossyPoint) {
    auto pixels = cropAndCopyFrame(frame, bytesPerRow, rect);
    return sendImageRect(rect, pixels.empty() ? nullptr : pixels.data(), kEncodingJPEGWithLossyPoint, 1.0, lossyPoint);
}

std::optional<Bytes> KLTNimRTPEncoder::captureAndEncode(KLTDisplay& display, const Rect& rect, double quality) {
    const Point origin = display.ourOrigin(), offset = display.offsetFromOrigin();
    const Rect local(rect.origin.x - origin.x, rect.origin.y - origin.y, rect.size.width, rect.size.height);
    const size_t bytes = size_t(std::trunc(local.size.width)) * size_t(std::trunc(local.size.height)) * 4;
    if (bytes == 0) return std::nullopt;
    if (mCaptureBuffer.size() < bytes) mCaptureBuffer.resize(bytes);
    Size captured{-1, -1};
    uint8_t* pixels = captureRect(mCaptureBuffer.data(), display.displayID(), &captured, 1.0, local);
    if (!pixels || captured.width <= 0 || captured.height <= 0) return std::nullopt;
    // Positions on the wire are relative to the display set's origin.
    const Rect wire(rect.origin.x + offset.x - origin.x, rect.origin.y + offset.y - origin.y, captured.width,
                    captured.height);
    return sendImageRect(wire, pixels, kEncodingJPEG, quality, std::nullopt);
}

void KLTNimRTPEncoder::advanceStripe(double displayHeight) {
    ++mRasterLocation;
    if (double(kStripeBlock * mRasterLocation) >= displayHeight) {
        mRasterLocation = 0;
        mRasterInterlace = (mRasterInterlace + 1) % 8;
    }
}

void KLTNimRTPEncoder::encodeFrame(int frame, bool, const std::shared_ptr<KLTDisplay>& displayPtr,
                                   uint32_t /*packetDesignation: not part of an RTP frame*/) {
    if (!displayPtr) return;
    std::lock_guard encoderLock(mLock);
    KLTDisplay& display = *displayPtr;
    std::lock_guard displayLock(display.lock());
    auto manager = display.rectManager();
    const Rect bounds = display.scaleCorrectedDisplayBounds();

    // What changed and was not yet sent in this cycle; when all of it was, a new cycle starts.
    auto extents = manager->newMergedRectExtents();
    if (!extents) extents = std::make_shared<UpdatedRectangles>();
    auto working = extents->copy();
    working->subtractFromRectangles(*mRasterRectangles);
    std::vector<KLRect> list = working->newArrayOfRectangles();
    if (list.empty()) {
        mRasterRectangles = std::make_shared<UpdatedRectangles>();
        list = extents->newArrayOfRectangles();
    }
    list = splitLarge(std::move(list));

    Bytes collected;
    uint16_t rectangles = 0;
    UpdatedRectangles sentThisFrame;
    for (const KLRect& r : list) {
        if (r.moved || r.rect.size.width <= 0 || r.rect.size.height <= 0) continue;
        auto record = captureAndEncode(display, r.rect, kRasterQuality);
        if (!record) continue;
        if (rectangles > 0 && collected.size() + record->size() >= kFrameBudget) break;
        collected.insert(collected.end(), record->begin(), record->end());
        ++rectangles;
        mRasterRectangles->addRectangle(r.rect);
        sentThisFrame.addRectangle(r.rect);
        manager->cleanRectangle(r.rect);
    }

    // Refinement: stripes in interlaced order, at most one sweep of the display per frame.
    const uint64_t blocks = uint64_t(std::ceil(std::max(0.0, bounds.size.height) / kStripeBlock));
    bool refined = false;
    for (uint64_t step = 0; step < blocks * 8 && collected.size() < kFrameBudget; ++step) {
        const double y = double(kStripeHeight * interlaceForEight[mRasterInterlace] + kStripeBlock * mRasterLocation);
        Rect stripe = Rect(bounds.origin.x, bounds.origin.y + y, bounds.size.width, kStripeHeight).intersection(bounds);
        UpdatedRectangles region;
        if (!stripe.isEmpty()) region.addRectangle(stripe);
        region.subtractFromRectangles(*extents);
        region.subtractFromRectangles(sentThisFrame);
        const std::vector<KLRect> pieces = region.newArrayOfRectangles();
        if (!pieces.empty() && pieces.size() <= 2) {
            std::vector<Bytes> records;
            for (const KLRect& piece : pieces)
                if (auto record = captureAndEncode(display, piece.rect, kRefineQuality)) records.push_back(std::move(*record));
            size_t size = 0;
            for (const Bytes& b : records) size += b.size();
            // The budget is spent: this stripe is the first of the next frame.
            if (refined && collected.size() + size >= kFrameBudget) break;
            for (size_t i = 0; i < records.size(); ++i) {
                collected.insert(collected.end(), records[i].begin(), records[i].end());
                ++rectangles;
            }
            for (const KLRect& piece : pieces) manager->cleanRectangle(piece.rect);
            refined = true;
        }
        advanceStripe(bounds.size.height);
    }

    if (!mOutput) return;
    const uint16_t word = uint16_t(frame + rectangles);
    const Bytes header{uint8_t(word), uint8_t(word >> 8)};
    mOutput->write(header);
    if (!collected.empty()) mOutput->write(collected);
}

}  // namespace kl
