#include "ViewerUpdateStream.h"

#include <cstring>

#include "ViewerPictures.h"

namespace viewer {

namespace {

constexpr uint64_t kLargestMessage = 64u << 20;
constexpr size_t kRectHeader = 13;
constexpr uint64_t kLargestPicture = uint64_t(1) << 26;  // pixels

uint64_t le(std::span<const uint8_t> bytes, size_t offset, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= uint64_t(bytes[offset + i]) << (8 * i);
    return value;
}
uint16_t le16(std::span<const uint8_t> b, size_t o) { return uint16_t(le(b, o, 2)); }
uint32_t le32(std::span<const uint8_t> b, size_t o) { return uint32_t(le(b, o, 4)); }
uint64_t le64(std::span<const uint8_t> b, size_t o) { return le(b, o, 8); }

// The whole unit's length when its fixed part says it; 0 while even that is incomplete.
uint64_t lengthWithPayload(std::span<const uint8_t> bytes, size_t fixed, uint64_t payload) {
    return bytes.size() < fixed ? 0 : fixed + payload;
}

}  // namespace

ViewerUpdateStream::ViewerUpdateStream(bool rgbaZlibRows) : mRgbaZlibRows(rgbaZlibRows) {
    mInflateReady = inflateInit(&mInflate) == Z_OK;
}

ViewerUpdateStream::~ViewerUpdateStream() {
    if (mInflateReady) inflateEnd(&mInflate);
}

void ViewerUpdateStream::fail(std::string reason) {
    if (mFailure.empty()) mFailure = std::move(reason);
}

void ViewerUpdateStream::feed(std::span<const uint8_t> bytes) {
    if (failed()) return;
    mPending.insert(mPending.end(), bytes.begin(), bytes.end());
    size_t used = 0;
    while (!failed() && used < mPending.size()) {
        const std::span<const uint8_t> rest(mPending.data() + used, mPending.size() - used);
        const size_t length = unitLength(rest);
        if (length == 0 || length > rest.size()) break;
        takeUnit(rest.first(length));
        used += length;
    }
    mPending.erase(mPending.begin(), mPending.begin() + std::ptrdiff_t(used));
}

size_t ViewerUpdateStream::unitLength(std::span<const uint8_t> bytes) {
    uint64_t length = 0;
    if (mRecordsLeft > 0) {
        length = bytes.size() < kRectHeader ? 0 : kRectHeader + uint64_t(le32(bytes, 9));
    } else if (mAppsLeft > 0) {
        if (bytes.size() >= 33) length = 33 + uint64_t(le32(bytes, 9)) + le32(bytes, 29);
    } else {
        switch (bytes[0]) {
            case 0x01: length = 47; break;                              // hello
            case 0x02: case 0x10: length = 9; break;                    // busy, resolution change
            case 0x20: case 0x28: case 0x25: length = 3; break;        // update header, display count
            case 0x27: length = 2; break;                               // section mark
            case 0x24: length = 9; break;                               // application information header
            case 0x22: length = bytes.size() < 35 ? 0 : lengthWithPayload(bytes, 35, le32(bytes, 31)); break;
            case 0x23:
                length = bytes.size() < 9 ? 0 : lengthWithPayload(bytes, 9, uint64_t(le32(bytes, 1)) * le32(bytes, 5));
                break;
            case 0x26: length = bytes.size() < 9 ? 0 : lengthWithPayload(bytes, 9, le32(bytes, 5)); break;
            default: fail("unknown message type " + std::to_string(bytes[0])); return 0;
        }
    }
    if (length > kLargestMessage) {
        fail("message of " + std::to_string(length) + " bytes");
        return 0;
    }
    return size_t(length);
}

void ViewerUpdateStream::takeUnit(std::span<const uint8_t> unit) {
    if (mRecordsLeft > 0) {
        takeRecord(unit);
        if (!failed() && --mRecordsLeft == 0) finishUpdate();
        return;
    }
    if (mAppsLeft > 0) {
        if (unit[0] != 0x21) return fail("application record of type " + std::to_string(unit[0]));
        ViewerApplication app;
        app.applicationID = le64(unit, 1);
        const uint32_t nameLength = le32(unit, 9);
        std::memcpy(app.iconHash, unit.data() + 13, 16);
        const auto name = unit.subspan(33, nameLength);
        if (nameLength < 2 || nameLength % 2 != 0 || le16(name, 0) != 0xFEFF) return fail("application name without byte-order mark");
        for (size_t i = 2; i < name.size(); i += 2) app.name.push_back(char16_t(le16(name, i)));
        const auto icon = unit.subspan(33 + nameLength);
        app.icon.assign(icon.begin(), icon.end());
        applications.push_back(std::move(app));
        --mAppsLeft;
        return;
    }
    switch (unit[0]) {
        case 0x01:
            helloReceived = true;
            mEvents.push_back({.kind = StreamEvent::Hello});
            break;
        case 0x02:
            busyClientId = le64(unit, 1);
            mEvents.push_back({.kind = StreamEvent::Busy, .clientId = *busyClientId});
            break;
        case 0x10:
            resolutionWidth = le16(unit, 5);
            resolutionHeight = le16(unit, 7);
            if (mFollowResolution) mFramebuffer.resize(resolutionWidth, resolutionHeight);
            mEvents.push_back({.kind = StreamEvent::Resolution, .width = resolutionWidth, .height = resolutionHeight});
            break;
        case 0x20:
        case 0x28:
            lastDesignation = unit[0];
            mRecordsLeft = le16(unit, 1);
            mUpdate = {.kind = StreamEvent::Update, .designation = unit[0], .rects = int(mRecordsLeft)};
            if (mRecordsLeft == 0) finishUpdate();
            break;
        case 0x25:
            displayCount = le16(unit, 1);
            mEvents.push_back({.kind = StreamEvent::DisplayCount, .count = displayCount});
            break;
        case 0x27:
            if (unit[1] == 0) {
                ++sectionsOpened;
                mEvents.push_back({.kind = StreamEvent::SectionOpened});
            } else if (unit[1] == 1) {
                ++sectionsClosed;
                mEvents.push_back({.kind = StreamEvent::SectionClosed});
            } else {
                fail("section mark " + std::to_string(unit[1]));
            }
            break;
        case 0x24:
            mAppsLeft = le32(unit, 1);
            if (le32(unit, 5) != 0) fail("application information header with a nonzero last field");
            break;
        case 0x22: {
            auto picture = decodePng(unit.subspan(35));
            if (!picture) return fail("thumbnail PNG does not decode");
            ++thumbnails;
            thumbnailList.push_back({le64(unit, 9), picture->width, picture->height});
            break;
        }
        case 0x23:
            windowCount = le32(unit, 1);
            if (le32(unit, 5) != 30) return fail("window records of " + std::to_string(le32(unit, 5)) + " bytes");
            windows.clear();
            for (size_t at = 9; at + 30 <= unit.size(); at += 30)
                windows.push_back({le64(unit, at), le64(unit, at + 8), int16_t(le16(unit, at + 16)),
                                   int16_t(le16(unit, at + 18)), le16(unit, at + 20), le16(unit, at + 22),
                                   le16(unit, at + 24), le32(unit, at + 26)});
            break;
        case 0x26: {
            menuCount = le32(unit, 1);
            size_t at = 9;
            for (uint32_t i = 0; i < menuCount; ++i) {
                if (at + 42 > unit.size()) return fail("menu records longer than their message");
                const size_t titleLength = le16(unit, at + 16);
                if (at + 42 + titleLength > unit.size()) return fail("menu title longer than its message");
                ViewerMenuItem item{le64(unit, at), le64(unit, at + 8), le64(unit, at + 30), le16(unit, at + 18),
                                    le16(unit, at + 28), le32(unit, at + 38),
                                    std::string(reinterpret_cast<const char*>(unit.data() + at + 42), titleLength)};
                menus.push_back(std::move(item));
                at += 42 + titleLength;
            }
            break;
        }
    }
}

void ViewerUpdateStream::finishUpdate() {
    ++updatesCompleted;
    mEvents.push_back(mUpdate);
}

void ViewerUpdateStream::takeRecord(std::span<const uint8_t> unit) {
    RectRecord record{le16(unit, 0), le16(unit, 2), le16(unit, 4), le16(unit, 6), unit[8], le32(unit, 9)};
    const auto payload = unit.subspan(kRectHeader);
    // Positions are 16-bit two's complement relative to the display set's origin.
    const int x = int16_t(record.x), y = int16_t(record.y);
    switch (record.encoding) {
        case 0:
            drawZlib(record, payload);
            ++mUpdate.tiles;
            break;
        case 1:
            if (payload.size() != 4) return fail("copy rectangle without its 4-byte move");
            mFramebuffer.copy(x, y, record.w, record.h, int16_t(le16(payload, 0)), int16_t(le16(payload, 2)));
            break;
        case 2:
            if (record.length != 0) return fail("cursor position with a payload");
            cursorX = x;
            cursorY = y;
            cursorVisible = record.w != 0;
            mUpdate.cursorPosition = true;
            break;
        case 3: {
            auto image = decodePngWithAlpha(payload);
            if (!image) return fail("cursor image does not decode");
            cursorHotX = x;
            cursorHotY = y;
            record.pictureWidth = image->width;
            record.pictureHeight = image->height;
            cursorImage = std::move(image);
            mUpdate.cursorImage = true;
            mEvents.push_back({.kind = StreamEvent::CursorImage, .width = record.pictureWidth, .height = record.pictureHeight,
                               .hotX = x, .hotY = y});
            break;
        }
        case 4:
        case 5:
        case 14: {
            auto picture = record.encoding == 5 ? decodePng(payload) : decodeJpeg(payload);
            if (!picture) return fail("tile of encoding " + std::to_string(record.encoding) + " does not decode");
            record.pictureWidth = picture->width;
            record.pictureHeight = picture->height;
            if (record.encoding != 14 && (picture->width != record.w || picture->height != record.h)) {
                return fail("tile picture differs in size from its record");
            }
            mFramebuffer.drawStretched(x, y, record.w, record.h, *picture);
            ++mUpdate.tiles;
            break;
        }
        default: return fail("rectangle of encoding " + std::to_string(record.encoding));
    }
    records.push_back(record);
}

void ViewerUpdateStream::drawZlib(const RectRecord& record, std::span<const uint8_t> payload) {
    if (!mInflateReady) return fail("no inflate stream");
    if (uint64_t(record.w) * record.h > kLargestPicture) return fail("zlib rectangle too large");
    Picture picture(record.w, record.h);
    mInflate.next_in = const_cast<Bytef*>(payload.data());
    mInflate.avail_in = uInt(payload.size());
    mInflate.next_out = picture.pixels.data();
    mInflate.avail_out = uInt(picture.pixels.size());
    int status = inflate(&mInflate, Z_SYNC_FLUSH);
    // The output can fill up before the flush marker behind the last row is consumed; take the
    // rest with nowhere to put a pixel, so that a payload carrying more pixels than w x h fails.
    while (status == Z_OK && mInflate.avail_in > 0) {
        uint8_t spare;
        mInflate.next_out = &spare;
        mInflate.avail_out = 1;
        status = inflate(&mInflate, Z_SYNC_FLUSH);
        if (mInflate.avail_out == 0) return fail("zlib rectangle carries more than its pixels");
        mInflate.avail_out = 0;
    }
    if ((status != Z_OK && status != Z_BUF_ERROR) || mInflate.avail_out != 0 || mInflate.avail_in != 0) {
        return fail("zlib rectangle does not inflate to its size");
    }
    if (mRgbaZlibRows) {
        for (size_t i = 0; i < picture.pixels.size(); i += 4) std::swap(picture.pixels[i], picture.pixels[i + 2]);
    }
    for (size_t i = 3; i < picture.pixels.size(); i += 4) picture.pixels[i] = 0;
    mFramebuffer.draw(int16_t(record.x), int16_t(record.y), picture);
}

}  // namespace viewer
