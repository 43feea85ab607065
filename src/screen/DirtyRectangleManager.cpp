#include "screen/DirtyRectangleManager.h"

#include <algorithm>

#include "screen/RegionBox.h"

namespace kl {

namespace {

std::shared_ptr<UpdatedRectangles> asUpdated(const DirtyBlock& block) {
    auto* p = std::get_if<std::shared_ptr<UpdatedRectangles>>(&block);
    return p ? *p : nullptr;
}

std::shared_ptr<MovedRectangles> asMoved(const DirtyBlock& block) {
    auto* p = std::get_if<std::shared_ptr<MovedRectangles>>(&block);
    return p ? *p : nullptr;
}

}  // namespace

void DirtyRectangleManager::addDirtyRectangle(const Rect& rect) {
    _Region box = {regionBoxFromRect(rect), nullptr};
    if (!boxHasArea(box.extents)) return;  // nothing to send, and it would break the banding

    std::lock_guard lock(mLock);
    // Areas covered by a queued move are sent by that move; only the rest needs new pixels.
    std::shared_ptr<MovedRectangles> movedBlock;
    std::shared_ptr<UpdatedRectangles> target;
    if (!mRectangleQueue.empty()) {
        movedBlock = asMoved(mRectangleQueue.back());
        target = asUpdated(mRectangleQueue.back());
        if (target && mRectangleQueue.size() >= 2) movedBlock = asMoved(mRectangleQueue[mRectangleQueue.size() - 2]);
    }
    if (!target) {
        target = std::make_shared<UpdatedRectangles>();
        mRectangleQueue.push_back(target);
    }

    std::lock_guard targetLock(target->lock());
    bool overlap;
    if (movedBlock) {
        std::lock_guard movedLock(movedBlock->lock());
        _Region remaining = {miEmptyBox, &miEmptyData};
        miSubtract(&remaining, &box, movedBlock->region());
        miRegionAppend(target->region(), &remaining);
        miRegionUninit(&remaining);
    } else {
        miRegionAppend(target->region(), &box);
    }
    miRegionValidate(target->region(), &overlap);

    _Region* region = target->region();
    if (movedBlock && region->data && region->data->numRects == 0) {
        std::erase_if(mRectangleQueue, [&](const DirtyBlock& b) { return asUpdated(b) == target; });
    }
}

void DirtyRectangleManager::cleanRectangle(const Rect& rect) {
    std::lock_guard lock(mLock);
    if (mRectangleQueue.empty()) return;
    auto first = asUpdated(mRectangleQueue.front());
    if (!first) return;
    std::lock_guard firstLock(first->lock());
    _Region box = {regionBoxFromRect(rect), nullptr};
    _Region* region = first->region();
    miSubtract(region, region, &box);
    if (region->data && region->data->numRects == 0) mRectangleQueue.erase(mRectangleQueue.begin());
}

DirtyBlockKind DirtyRectangleManager::classOfNextDirtyBlock() {
    std::lock_guard lock(mLock);
    if (mRectangleQueue.empty()) return DirtyBlockKind::none;
    return asUpdated(mRectangleQueue.front()) ? DirtyBlockKind::updated : DirtyBlockKind::moved;
}

std::shared_ptr<UpdatedRectangles> DirtyRectangleManager::newMergedRectExtents() {
    std::lock_guard lock(mLock);
    std::shared_ptr<UpdatedRectangles> merged;
    for (const auto& block : mRectangleQueue) {
        auto updated = asUpdated(block);
        if (!updated) continue;
        if (!merged)
            merged = updated->copy();
        else
            merged->mergeWithRectangles(updated.get());
    }
    if (merged) merged->validateRect();
    return merged;
}

std::vector<KLRect> DirtyRectangleManager::newArrayOfDirtyRectangles() {
    std::lock_guard lock(mLock);
    std::vector<KLRect> result;
    for (const auto& block : mRectangleQueue) {
        if (auto updated = asUpdated(block)) {
            std::lock_guard blockLock(updated->lock());
            appendRegionRects(updated->region(), result);
        } else if (auto moved = asMoved(block)) {
            std::lock_guard blockLock(moved->lock());
            for (const Rect& r : moved->rectangles()) result.push_back(KLRect{r, true, moved->delta()});
        }
    }
    return result;
}

void DirtyRectangleManager::addMovedRectangle(const Rect* rectangles, Point delta, size_t count) {
    auto block = std::make_shared<MovedRectangles>(rectangles, delta, count);
    std::lock_guard lock(mLock);
    if (!mRectangleQueue.empty()) {
        if (auto last = asMoved(mRectangleQueue.back())) last->giveRegionTo(*block);
    }
    mRectangleQueue.push_back(block);
}

void DirtyRectangleManager::ackMovedRectangle(const Rect& rect) {
    std::lock_guard lock(mLock);
    if (mRectangleQueue.empty()) return;
    auto first = asMoved(mRectangleQueue.front());
    if (!first) return;  // the oldest change is not a move: nothing to acknowledge
    std::lock_guard blockLock(first->lock());
    auto& rects = first->rectangles();
    auto found = std::find(rects.begin(), rects.end(), rect);
    if (found != rects.end()) rects.erase(found);
    if (rects.empty()) mRectangleQueue.erase(mRectangleQueue.begin());
}

std::vector<DirtyBlock> DirtyRectangleManager::rectangleQueue() {
    std::lock_guard lock(mLock);
    return mRectangleQueue;
}

void DirtyRectangleManager::setRectangleQueue(std::vector<DirtyBlock> queue) {
    std::lock_guard lock(mLock);
    mRectangleQueue = std::move(queue);
}

}  // namespace kl
