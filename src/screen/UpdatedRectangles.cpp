#include "screen/UpdatedRectangles.h"

#include "screen/RegionBox.h"

namespace kl {

UpdatedRectangles::UpdatedRectangles() { mRegionData = {miEmptyBox, &miEmptyData}; }

UpdatedRectangles::~UpdatedRectangles() {
    std::lock_guard lock(mLock);
    miRegionUninit(mRegion);
    mRegion->data = nullptr;
}

std::shared_ptr<UpdatedRectangles> UpdatedRectangles::copy() {
    std::lock_guard lock(mLock);
    validateRect();
    auto result = std::make_shared<UpdatedRectangles>();
    miRegionCopy(result->mRegion, mRegion);
    result->mNeedsValidation = true;
    return result;
}

void UpdatedRectangles::validateRect() {
    std::lock_guard lock(mLock);
    if (!mNeedsValidation) return;
    bool overlap;
    miRegionValidate(mRegion, &overlap);
    mNeedsValidation = false;
}

void UpdatedRectangles::addRectangle(const Rect& rect) {
    std::lock_guard lock(mLock);
    validateRect();
    _Region box = {regionBoxFromRect(rect), nullptr};
    if (!boxHasArea(box.extents)) return;
    miRegionAppend(mRegion, &box);
    mNeedsValidation = true;
}

void UpdatedRectangles::mergeWithRectangles(UpdatedRectangles* other) {
    if (!other) return;
    std::lock_guard lock(mLock);
    std::lock_guard otherLock(other->mLock);
    other->validateRect();
    miRegionAppend(mRegion, other->mRegion);
    mNeedsValidation = true;
}

void UpdatedRectangles::subtractFromRectangles(UpdatedRectangles& other) {
    std::lock_guard lock(mLock);
    std::lock_guard otherLock(other.mLock);
    validateRect();
    other.validateRect();
    miSubtract(mRegion, mRegion, other.mRegion);
    mNeedsValidation = true;
}

double UpdatedRectangles::containsRect(const Rect& rect) {
    std::lock_guard lock(mLock);
    validateRect();
    _Box box = regionBoxFromRect(rect);
    switch (miRectIn(mRegion, &box)) {
        case rgnIN: return 1.0;
        case rgnPART: return 0.8;
        default: return 0.0;
    }
}

unsigned UpdatedRectangles::count() {
    std::lock_guard lock(mLock);
    return static_cast<unsigned>(regionNumRects(mRegion));
}

std::vector<KLRect> UpdatedRectangles::newArrayOfRectangles() {
    std::lock_guard lock(mLock);
    validateRect();
    std::vector<KLRect> result;
    appendRegionRects(mRegion, result);
    return result;
}

void UpdatedRectangles::cleanRectangle(const Rect& rect) {
    std::lock_guard lock(mLock);
    validateRect();
    _Region box = {regionBoxFromRect(rect), nullptr};
    miSubtract(mRegion, mRegion, &box);
    mNeedsValidation = true;
}

void appendRegionRects(const _Region* region, std::vector<KLRect>& out) {
    if (miRegionBroken(region)) return;
    int64_t n = regionNumRects(region);
    const _Box* boxes = regionBoxes(region);
    for (int64_t i = 0; i < n; ++i) {
        const _Box& b = boxes[i];
        out.push_back(KLRect{Rect(b.x1, b.y1, b.x2 - b.x1, b.y2 - b.y1), false, {}});
    }
}

}  // namespace kl
