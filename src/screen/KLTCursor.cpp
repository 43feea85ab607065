#include "screen/KLTCursor.h"

#include <mutex>

#include "platform/x11/X11Cursor.h"

namespace kl {

namespace {
std::mutex cursorStateMutex;
Point lastHotSpot;
unsigned long lastSerial = 0;
}  // namespace

bool KLTCursor::isInvisible() const {
    for (size_t i = 3; i < rgba.size(); i += 4)
        if (rgba[i]) return false;
    return true;
}

Point KLTCursor::gveHotSpot() {
    std::lock_guard lock(cursorStateMutex);
    return lastHotSpot;
}

std::optional<KLTCursor> KLTCursor::gveCurrentSystemCursor() {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return std::nullopt;
    auto image = x11CurrentCursor(*c);
    if (!image) return std::nullopt;
    KLTCursor cursor;
    cursor.width = image->width;
    cursor.height = image->height;
    cursor.hotSpot = {double(image->xhot), double(image->yhot)};
    cursor.rgba = std::move(image->rgba);
    std::lock_guard lock(cursorStateMutex);
    lastHotSpot = cursor.hotSpot;
    return cursor;
}

bool KLTCursor::cursorImageUpdated() {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return false;
    auto image = x11CurrentCursor(*c);
    unsigned long serial = image ? image->serial : 0;
    std::lock_guard lock(cursorStateMutex);
    bool changed = serial != lastSerial;
    lastSerial = serial;
    return changed;
}

}  // namespace kl
