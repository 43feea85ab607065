// A display's ordered queue of changes not yet sent to the viewer. The screen-refresh path adds
// rectangles on the main thread while the encoder reads and cleans the queue on the viewer's
// thread; the manager's own recursive lock makes each operation atomic.
#pragma once

#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "screen/KLRect.h"
#include "screen/MovedRectangles.h"
#include "screen/UpdatedRectangles.h"

namespace kl {

using DirtyBlock = std::variant<std::shared_ptr<UpdatedRectangles>, std::shared_ptr<MovedRectangles>>;

enum class DirtyBlockKind { none, updated, moved };

class DirtyRectangleManager {
public:
    void addDirtyRectangle(const Rect& rect);
    // Removes a sent area from the first block when that block is an updated one.
    void cleanRectangle(const Rect& rect);
    DirtyBlockKind classOfNextDirtyBlock();
    // Every updated block merged in queue order, validated; null when there is none.
    std::shared_ptr<UpdatedRectangles> newMergedRectExtents();
    // Everything queued, in order; the queue is not changed.
    std::vector<KLRect> newArrayOfDirtyRectangles();
    void addMovedRectangle(const Rect* rectangles, Point delta, size_t count);
    void ackMovedRectangle(const Rect& rect);

    std::vector<DirtyBlock> rectangleQueue();
    void setRectangleQueue(std::vector<DirtyBlock> queue);

private:
    std::recursive_mutex mLock;
    std::vector<DirtyBlock> mRectangleQueue;
};

}  // namespace kl
