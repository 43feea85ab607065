#include "ViewerFramebuffer.h"

#include <algorithm>
#include <cstring>

namespace viewer {

void ViewerFramebuffer::draw(int x, int y, const Picture& picture) {
    drawStretched(x, y, picture.width, picture.height, picture);
}

void ViewerFramebuffer::drawStretched(int x, int y, int w, int h, const Picture& picture) {
    if (w <= 0 || h <= 0 || picture.width <= 0 || picture.height <= 0) return;
    for (int row = std::max(0, -y); row < h && y + row < mPicture.height; ++row) {
        const int sourceRow = int(int64_t(row) * picture.height / h);
        for (int col = std::max(0, -x); col < w && x + col < mPicture.width; ++col) {
            const int sourceCol = int(int64_t(col) * picture.width / w);
            std::memcpy(mPicture.at(x + col, y + row), picture.at(sourceCol, sourceRow), 4);
        }
    }
}

void ViewerFramebuffer::copy(int x, int y, int w, int h, int dx, int dy) {
    // Only the part inside the framebuffer has pixels to move; take it first so that an
    // overlapping move reads the old pixels.
    const int left = std::max(x, 0), top = std::max(y, 0);
    const int right = std::min(x + w, mPicture.width), bottom = std::min(y + h, mPicture.height);
    if (right <= left || bottom <= top) return;
    Picture moved(right - left, bottom - top);
    for (int row = 0; row < moved.height; ++row) {
        std::memcpy(moved.at(0, row), mPicture.at(left, top + row), size_t(moved.width) * 4);
    }
    draw(left + dx, top + dy, moved);
}

}  // namespace viewer
