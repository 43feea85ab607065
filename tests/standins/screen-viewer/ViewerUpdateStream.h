// The viewer's reader of the service's main channel: fed the bytes as they arrive, it takes apart
// hello, busy, resolution changes, display counts, screen updates and the application section,
// and draws every rectangle into its framebuffer. Written from the protocol's tables alone, so
// that it checks the service rather than sharing its mistakes.
//
// A malformed stream (an unknown message type, a rectangle that does not decode, a length beyond
// reason) stops the reader: failed() turns true with a reason and further bytes are ignored.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ViewerFramebuffer.h"

namespace viewer {

struct RectRecord {
    uint16_t x = 0, y = 0, w = 0, h = 0;
    uint8_t encoding = 0;
    uint32_t length = 0;
    // For pictures: the size of the decoded picture (for squeezed tiles smaller than w x h).
    int pictureWidth = 0, pictureHeight = 0;
};

// One step of the stream that a viewer acts on, in arrival order.
struct StreamEvent {
    enum Kind { Hello, Busy, Resolution, DisplayCount, Update, SectionOpened, SectionClosed, CursorImage } kind = Hello;
    uint64_t clientId = 0;        // busy
    int width = 0, height = 0;    // resolution; cursor image size
    int count = 0;                // display count
    uint8_t designation = 0;      // update
    int rects = 0, tiles = 0;     // update: records, and those of them that carry pixels
    bool cursorPosition = false;  // update: it carried the cursor position rectangle
    bool cursorImage = false;     // update: it carried a cursor image
    int hotX = 0, hotY = 0;       // cursor image
};

struct ViewerApplication {
    uint64_t applicationID = 0;
    std::u16string name;
    uint8_t iconHash[16] = {};
    std::vector<uint8_t> icon;  // TIFF file; empty when the viewer already held it
};

struct ViewerWindow {
    uint64_t applicationID = 0, windowID = 0;
    int x = 0, y = 0, width = 0, height = 0;  // x and y as signed 16-bit values
    int desktop = 0;
    uint32_t zOrder = 0;
};

struct ViewerThumbnail {
    uint64_t windowID = 0;
    int width = 0, height = 0;  // of the decoded PNG
};

struct ViewerMenuItem {
    uint64_t applicationID = 0, handle = 0, parent = 0;
    uint16_t flags = 0, ordinal = 0;
    uint32_t cmdChar = 0;
    std::string title;
};

class ViewerUpdateStream {
public:
    // rgbaZlibRows: the viewer announced androidFlags bit 0, so zlib rows come as R, G, B, 255.
    explicit ViewerUpdateStream(bool rgbaZlibRows = false);
    ~ViewerUpdateStream();
    ViewerUpdateStream(const ViewerUpdateStream&) = delete;
    ViewerUpdateStream& operator=(const ViewerUpdateStream&) = delete;

    void feed(std::span<const uint8_t> bytes);
    // What the bytes fed so far brought, oldest first; the list is emptied.
    std::vector<StreamEvent> takeEvents() { return std::exchange(mEvents, {}); }
    // A resolution change resizes (and clears) the framebuffer before the tiles that follow it.
    void setFollowResolution(bool follow) { mFollowResolution = follow; }

    bool failed() const { return !mFailure.empty(); }
    const std::string& failure() const { return mFailure; }
    // Bytes received and not yet taken apart (a message still on its way).
    size_t pendingBytes() const { return mPending.size(); }

    ViewerFramebuffer& framebuffer() { return mFramebuffer; }

    bool helloReceived = false;
    std::optional<uint64_t> busyClientId;
    int resolutionWidth = 0, resolutionHeight = 0;
    int displayCount = 1;
    int updatesCompleted = 0;        // screen-update headers whose records have all arrived
    std::vector<RectRecord> records;  // every rectangle record, in order (an owner may clear it)
    uint8_t lastDesignation = 0;
    // Cursor
    int cursorX = 0, cursorY = 0;
    bool cursorVisible = false;
    int cursorHotX = 0, cursorHotY = 0;
    std::optional<Picture> cursorImage;
    // Application section
    int sectionsOpened = 0, sectionsClosed = 0;
    std::vector<ViewerApplication> applications;
    int thumbnails = 0;
    uint32_t windowCount = 0;  // of the last snapshot
    uint32_t menuCount = 0;    // of the last menus message
    std::vector<ViewerWindow> windows;         // the last snapshot's records
    std::vector<ViewerThumbnail> thumbnailList;  // every thumbnail, in order (an owner may clear it)
    std::vector<ViewerMenuItem> menus;         // every menu record, in order (an owner may clear it)

private:
    // Size of the unit at the start of the pending bytes, 0 while it is incomplete.
    size_t unitLength(std::span<const uint8_t> bytes);
    void takeUnit(std::span<const uint8_t> unit);
    void takeRecord(std::span<const uint8_t> record);
    void drawZlib(const RectRecord& record, std::span<const uint8_t> payload);
    void fail(std::string reason);
    void finishUpdate();

    ViewerFramebuffer mFramebuffer;
    std::vector<uint8_t> mPending;
    std::string mFailure;
    uint32_t mRecordsLeft = 0;  // of the screen update being read
    uint32_t mAppsLeft = 0;     // of the application information being read
    bool mRgbaZlibRows;
    bool mFollowResolution = false;
    std::vector<StreamEvent> mEvents;
    StreamEvent mUpdate;  // the update being read
    z_stream mInflate{};  // one for the whole connection, as the service keeps one deflate stream
    bool mInflateReady = false;
};

}  // namespace viewer
