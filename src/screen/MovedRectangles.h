// A block of rectangles whose contents moved by one delta, to be sent as copy instructions. The
// region is the area they cover after the move.
#pragma once

#include <mutex>
#include <vector>

#include "screen/KLGeometry.h"
#include "screen/region/MiRegion.h"

namespace kl {

class MovedRectangles {
public:
    MovedRectangles(const Rect* rectangles, Point delta, size_t count);
    ~MovedRectangles();
    MovedRectangles(const MovedRectangles&) = delete;
    MovedRectangles& operator=(const MovedRectangles&) = delete;

    Point delta() const { return mDelta; }
    std::vector<Rect>& rectangles() { return mRectangles; }
    _Region* region() { return mRegion; }
    // Hands this block's region over to another block (which frees its own first); this block is
    // left with an empty region.
    void giveRegionTo(MovedRectangles& successor);
    std::recursive_mutex& lock() const { return mLock; }

private:
    Point mDelta;
    std::vector<Rect> mRectangles;
    _Region mRegionData;
    _Region* mRegion = &mRegionData;
    mutable std::recursive_mutex mLock;
};

}  // namespace kl
