// One display of the captured desktop with its change tracking: the queue of areas still to
// send, the areas last sent in lossy quality and the encoder's history of dirty extents.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "screen/DirtyRectangleManager.h"
#include "screen/KLGeometry.h"
#include "screen/UpdatedRectangles.h"

namespace kl {

class KLTDisplay {
public:
    KLTDisplay();
    explicit KLTDisplay(uint32_t displayID);

    uint32_t framebufferIndex();
    Rect scaleCorrectedDisplayBounds();
    double cursorScale() { return scale(); }
    double scale();
    // Empties the queue and the heat map and replaces the lossy region, all under the display's
    // own lock (the one the encoder holds around its work on the display).
    void clearRectangles();
    void addDirtyRectangle(const Rect& rect) { mRectManager->addDirtyRectangle(rect); }
    std::string description();
    size_t hash() const { return mDisplayID; }

    uint32_t displayID() const { return mDisplayID; }
    const std::string& userDescription() const { return mUserDescription; }
    void setUserDescription(std::string d) { mUserDescription = std::move(d); }
    std::shared_ptr<DirtyRectangleManager> rectManager() const { return mRectManager; }
    std::vector<std::shared_ptr<UpdatedRectangles>>& updateHeatMap() { return mUpdateHeatMap; }
    std::shared_ptr<UpdatedRectangles> lossyRects() const { return mLossyRects; }
    void setLossyRects(std::shared_ptr<UpdatedRectangles> r) { mLossyRects = std::move(r); }
    Point offsetFromOrigin() const { return mOffsetFromOrigin; }
    void setOffsetFromOrigin(Point p) { mOffsetFromOrigin = p; }
    Point ourOrigin() const { return mOurOrigin; }
    void setOurOrigin(Point p) { mOurOrigin = p; }
    std::recursive_mutex& lock() { return mLock; }

private:
    uint32_t mDisplayID = 0;
    std::string mUserDescription;
    std::shared_ptr<DirtyRectangleManager> mRectManager;
    std::vector<std::shared_ptr<UpdatedRectangles>> mUpdateHeatMap;
    std::shared_ptr<UpdatedRectangles> mLossyRects;
    Point mOffsetFromOrigin;
    Point mOurOrigin;
    int64_t mFbIndex = -1;
    std::recursive_mutex mLock;
};

}  // namespace kl
