// A region of screen areas with its own recursive lock: the blocks of a dirty queue, a display's
// lossy areas and its heat-map entries. Rectangles are appended cheaply and re-banded lazily: the
// first reader after an append validates.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "screen/KLGeometry.h"
#include "screen/KLRect.h"
#include "screen/region/MiRegion.h"

namespace kl {

class UpdatedRectangles {
public:
    UpdatedRectangles();
    ~UpdatedRectangles();
    UpdatedRectangles(const UpdatedRectangles&) = delete;
    UpdatedRectangles& operator=(const UpdatedRectangles&) = delete;

    // A private copy of the (validated) region, itself marked as needing validation.
    std::shared_ptr<UpdatedRectangles> copy();
    void validateRect();
    void addRectangle(const Rect& rect);
    // Appends all of other's boxes (null does nothing). Locks this, then other.
    void mergeWithRectangles(UpdatedRectangles* other);
    // this = this minus other. Locks this, then other.
    void subtractFromRectangles(UpdatedRectangles& other);
    // 1.0 wholly inside, 0.8 partly, 0.0 outside.
    double containsRect(const Rect& rect);
    // Number of boxes as stored (an unvalidated region counts its appended boxes).
    unsigned count();
    std::vector<KLRect> newArrayOfRectangles();
    void cleanRectangle(const Rect& rect);

    // The region itself, for the queue that owns this block; hold lock() while using it.
    _Region* region() { return mRegion; }
    bool needsValidation() const { return mNeedsValidation; }
    void setNeedsValidation(bool value) { mNeedsValidation = value; }
    std::recursive_mutex& lock() const { return mLock; }

private:
    _Region mRegionData;
    _Region* mRegion = &mRegionData;
    bool mNeedsValidation = false;
    mutable std::recursive_mutex mLock;
};

// Appends the boxes of a region to a list of encoder rectangles, in band order.
void appendRegionRects(const _Region* region, std::vector<KLRect>& out);

}  // namespace kl
