// The update cycle: each update request answered with one update, and the cursor tick.
#include <cmath>

#include "foundation/KLTLogging.h"
#include "platform/image/ImageFiles.h"
#include "screen/protocol/ServerMessages.h"
#include "screen/server/IBeamCursor.h"
#include "screen/server/ScreenServer.h"

namespace kl {
namespace {

// Truncated toward zero, then kept in 16 bits as the wire has it.
uint16_t wireCoordinate(double value) { return uint16_t(int64_t(std::trunc(value))); }

}  // namespace

bool ScreenServer::processUpdateRequestMsg(ViewerConnection& c) {
    mDelegate->removeScreenSaver();
    std::lock_guard transmission(c.session->transmissionLock());
    bool failed = false;
    bool made = state() == ScreenServerState::Streaming && screenUpdate(c, failed);
    if (failed) {
        KLLog(kKLTLoggingLevelInfo, "ScreenServer: an update could not be sent; ending the viewer connection");
        c.session->close();
        return true;  // nothing more goes into a broken stream
    }
    return made;
}

bool ScreenServer::screenUpdate(ViewerConnection& c, bool& failed) {
    if (state() != ScreenServerState::Streaming) return false;
    bool position = mClientNeedsCursorPosUpdate.exchange(false);
    bool image = mClientNeedsCursorImageUpdate.exchange(false);
    // An update that is not made leaves the cursor's news for the next one.
    auto keepCursorFlags = [&] {
        if (position) mClientNeedsCursorPosUpdate = true;
        if (image) mClientNeedsCursorImageUpdate = true;
        return false;
    };
    if (!screen()) {
        KLLog(kKLTLoggingLevelDebug, "frameBuffer was nil; send a zero-rect reply.");
        return keepCursorFlags();
    }
    // A reconfiguration holds the frame buffer: answer at once rather than wait for it.
    std::unique_lock frameBuffer(mFrameBufferLock, std::try_to_lock);
    if (!frameBuffer.owns_lock() || state() != ScreenServerState::Streaming) return keepCursorFlags();
    auto set = screen();
    if (!set) return keepCursorFlags();

    const bool appInfo = mDelegate->supportsAppInfo();
    auto source = appInfo ? appSource() : nullptr;
    if (source) source->pollInBackground();

    std::vector<std::shared_ptr<KLTDisplay>> displays(set->displays().begin(), set->displays().end());
    UpdateOutput& out = *c.output;
    if (displays.size() != 1) out.send(writeDisplayCount(uint16_t(displays.size())));
    const uint32_t designation = appInfo ? kScreenUpdateWithAppInfoMsg : kScreenUpdateMsg;
    const int cursorRects = int(position) + int(image);
    for (size_t i = 0; i < displays.size(); ++i) {
        std::lock_guard encoderLock(c.encoder->lock());
        c.encoder->encodeFrame(i + 1 == displays.size() ? cursorRects : 0, false, displays[i], designation);
    }
    // The cursor records are counted in the last display's header: with no display, none is sent.
    if (!displays.empty()) {
        if (position) sendCursorPosition(out);
        if (image) sendCursorImage(out);
    }
    if (appInfo) {
        out.send(writeAppInfoSection(false));
        if (source) source->sendApplicationSection([&out](std::span<const uint8_t> record) { return out.send(record); });
        out.send(writeAppInfoSection(true));
    }
    failed = out.failed();
    return true;
}

bool ScreenServer::sendCursorPosition(UpdateOutput& out) {
    Point location;
    bool visible;
    {
        std::lock_guard lock(mFieldsLock);
        location = mMouseLocation;
        visible = mMouseVisible;
    }
    Bytes record;
    writeCursorPositionRect(record, wireCoordinate(location.x), wireCoordinate(location.y), visible);
    return out.send(record);
}

bool ScreenServer::sendCursorImage(UpdateOutput& out) {
    std::optional<KLTCursor> cursor;
    {
        std::lock_guard lock(mCursorImageLock);
        cursor = mCurrentCursor;
    }
    Bytes record;
    if (cursor && cursor->width > 0 && cursor->height > 0 &&
        cursor->rgba.size() == size_t(cursor->width) * size_t(cursor->height) * 4) {
        std::vector<uint8_t> bgra(cursor->rgba.size());
        for (size_t i = 0; i < bgra.size(); i += 4) {
            bgra[i] = cursor->rgba[i + 2];
            bgra[i + 1] = cursor->rgba[i + 1];
            bgra[i + 2] = cursor->rgba[i];
            bgra[i + 3] = cursor->rgba[i + 3];
        }
        auto png = encodePNG(PixelView::packed(bgra.data(), cursor->width, cursor->height, PixelFormat::BGRA));
        if (png)
            writeCursorImageRect(record, wireCoordinate(cursor->hotSpot.x), wireCoordinate(cursor->hotSpot.y),
                                 uint16_t(cursor->width), uint16_t(cursor->height), *png);
    }
    // The record is counted in the update's header: without an image it still takes its place.
    if (record.empty()) writePlaceholderRect(record);
    return out.send(record);
}

void ScreenServer::mouseTick() {
    {
        std::lock_guard lock(mSidebandLock);
        if (!mOutputSideband) return;
    }
    auto set = screen();
    if (!mDelegate->shouldQueryMouseOnDisplay(set)) return;
    mClientNeedsCursorPosUpdate = false;
    bool visible = mDelegate->mouseCursorVisible();
    Point location = mDelegate->getMouseLocation();
    {
        std::lock_guard lock(mFieldsLock);
        mMouseVisible = visible;
        mMouseLocation = location;
    }
    Point origin = set ? set->scaleCorrectedDisplayBounds().origin : Point();
    Bytes datagram;
    writeCursorPositionRect(datagram, uint16_t(int16_t(wireCoordinate(location.x)) - int(std::trunc(origin.x))),
                            uint16_t(int16_t(wireCoordinate(location.y)) - int(std::trunc(origin.y))), visible);
    sendSidebandDatagram(datagram);

    if (mDelegate->mouseCursorChanged()) {
        std::optional<KLTCursor> cursor = mDelegate->mouseCursor();
        if (cursor) {
            if (cursor->isInvisible())
                cursor = iBeamCursor();
            else
                cursor->hotSpot = mDelegate->mouseHotspot();
        }
        std::lock_guard lock(mCursorImageLock);
        mClientNeedsCursorImageUpdate = true;
        mCurrentCursor = std::move(cursor);
    }
}

void ScreenServer::addWholeScreenToDirtyRectangles(ViewerConnection& c) {
    if (auto set = screen())
        for (const Rect& bounds : set->arrayOfScreenBounds()) c.encoder->addDirtyRectangle(bounds);
    mClientNeedsCursorPosUpdate = true;
    mClientNeedsCursorImageUpdate = true;
}

void ScreenServer::screenRefreshed(uint32_t count, const Rect* rects) {
    auto c = connection();
    auto set = screen();
    if (!c || !set || state() != ScreenServerState::Streaming) return;
    Rect bounds = set->scaleCorrectedDisplayBounds();
    double scale = set->scale();
    for (uint32_t i = 0; i < count; ++i) {
        Rect part = rects[i].intersection(bounds);
        if (part.isNull() || part.size.width <= 0 || part.size.height <= 0) continue;
        c->encoder->addDirtyRectangle(
            Rect(part.origin.x * scale, part.origin.y * scale, part.size.width * scale, part.size.height * scale));
    }
}

}  // namespace kl
