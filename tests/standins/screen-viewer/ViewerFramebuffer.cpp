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
    // Take the source first so that overlapping moves read the old pixels.
    Picture moved(std::max(w, 0), std::max(h, 0));
    for (int row = 0; row < moved.height; ++row) {
        for (int col = 0; col < moved.width; ++col) {
            const int sx = x + col, sy = y + row;
            if (sx >= 0 && sy >= 0 && sx < mPicture.width && sy < mPicture.height) {
                std::memcpy(moved.at(col, row), mPicture.at(sx, sy), 4);
            }
        }
    }
    draw(x + dx, y + dy, moved);
}

}  // namespace viewer
