#include "screen/CreateImageBufferForRect.h"

#include <cstdlib>

#include "platform/x11/X11Capture.h"
#include "screen/DisplayServer.h"

namespace kl {

uint8_t* CreateImageBufferForRectWith(X11Capture& capture, uint8_t* buffer, uint32_t displayID, Size* outSize,
                                      double, const Rect& rect) {
    auto display = DisplayServer::display(displayID);
    int width = int(rect.size.width), height = int(rect.size.height);
    if (!display || width <= 0 || height <= 0) return buffer;
    X11Rect area = {int(display->monitor.bounds.x + rect.origin.x), int(display->monitor.bounds.y + rect.origin.y), width,
                    height};
    bool allocated = !buffer;
    if (allocated) buffer = static_cast<uint8_t*>(std::malloc(size_t(width) * height * 4));
    if (!buffer) return nullptr;
    if (!capture.capture(area, buffer)) {
        if (allocated) {
            std::free(buffer);
            return nullptr;
        }
        return buffer;
    }
    if (outSize) *outSize = {double(width), double(height)};
    return buffer;
}

uint8_t* CreateImageBufferForRect(uint8_t* buffer, uint32_t displayID, Size* outSize, double scale, const Rect& rect) {
    X11Connection* connection = X11Connection::forThisThread();
    if (!connection) return buffer;
    return CreateImageBufferForRectWith(connection->capture(), buffer, displayID, outSize, scale, rect);
}

}  // namespace kl
