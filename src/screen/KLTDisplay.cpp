#include "screen/KLTDisplay.h"

#include <cstdio>

#include "screen/KLGeometryHelpers.h"
#include "screen/KLTScreen.h"

namespace kl {

KLTDisplay::KLTDisplay()
    : mRectManager(std::make_shared<DirtyRectangleManager>()), mLossyRects(std::make_shared<UpdatedRectangles>()) {}

KLTDisplay::KLTDisplay(uint32_t displayID) : KLTDisplay() { mDisplayID = displayID; }

uint32_t KLTDisplay::framebufferIndex() {
    if (mFbIndex != -1) return static_cast<uint32_t>(mFbIndex);
    uint32_t index = KLTScreen::framebufferIndexForDisplayID(mDisplayID);
    // An unknown index (all ones) reads as -1 and is asked again next time.
    mFbIndex = index == kUnknownFramebufferIndex ? -1 : int64_t(index);
    return index;
}

Rect KLTDisplay::scaleCorrectedDisplayBounds() { return KLTScreen::scaleCorrectedDisplayBoundsForDisplayID(mDisplayID); }

double KLTDisplay::scale() { return KLTScreen::scaleForDisplayID(mDisplayID); }

void KLTDisplay::clearRectangles() {
    std::lock_guard lock(mLock);
    mLossyRects = std::make_shared<UpdatedRectangles>();
    mRectManager->setRectangleQueue({});
    mUpdateHeatMap.clear();
}

std::string KLTDisplay::description() {
    char head[48];
    std::snprintf(head, sizeof head, "Display ID: 0x%x (", mDisplayID);
    return head + NSStringFromCGRect(scaleCorrectedDisplayBounds()) + ")";
}

}  // namespace kl
