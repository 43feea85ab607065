#include "screen/MovedRectangles.h"

#include "screen/RegionBox.h"

namespace kl {

MovedRectangles::MovedRectangles(const Rect* rectangles, Point delta, size_t count) : mDelta(delta) {
    mRegionData = {miEmptyBox, &miEmptyData};
    mRectangles.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        mRectangles.push_back(rectangles[i]);
        _Region box = {regionBoxFromRect(rectangles[i].offsetBy(delta.x, delta.y)), nullptr};
        if (boxHasArea(box.extents)) miRegionAppend(mRegion, &box);
    }
    bool overlap;
    miRegionValidate(mRegion, &overlap);
}

MovedRectangles::~MovedRectangles() {
    std::lock_guard lock(mLock);
    miRegionUninit(mRegion);
}

void MovedRectangles::giveRegionTo(MovedRectangles& successor) {
    std::scoped_lock lock(mLock, successor.mLock);
    miRegionUninit(successor.mRegion);
    *successor.mRegion = *mRegion;
    *mRegion = {miEmptyBox, &miEmptyData};
}

}  // namespace kl
