// The viewer's picture of the remote desktop: BGRX pixels, 4 bytes each, rows without gaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace viewer {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // BGRX, width x 4 bytes a row

    Picture() = default;
    Picture(int w, int h) : width(w), height(h), pixels(size_t(w) * size_t(h) * 4, 0) {}
    const uint8_t* at(int x, int y) const { return pixels.data() + (size_t(y) * size_t(width) + size_t(x)) * 4; }
    uint8_t* at(int x, int y) { return pixels.data() + (size_t(y) * size_t(width) + size_t(x)) * 4; }
};

class ViewerFramebuffer {
public:
    void resize(int width, int height) { mPicture = Picture(width, height); }
    const Picture& picture() const { return mPicture; }

    // Draws picture at (x, y); what falls outside the framebuffer is left out.
    void draw(int x, int y, const Picture& picture);
    // Draws picture stretched (nearest pixel) over the w x h rectangle at (x, y).
    void drawStretched(int x, int y, int w, int h, const Picture& picture);
    // Moves the w x h rectangle at (x, y) by (dx, dy).
    void copy(int x, int y, int w, int h, int dx, int dy);

private:
    Picture mPicture;
};

}  // namespace viewer
