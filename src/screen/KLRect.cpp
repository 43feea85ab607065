#include "screen/KLRect.h"

#include <cstdio>

#include "screen/KLGeometryHelpers.h"

namespace kl {

std::string KLRect::description() const {
    char head[64];
    std::snprintf(head, sizeof head, "KLRect %p: rect: ", static_cast<const void*>(this));
    return head + NSStringFromCGRect(rect) + ", moved: " + (moved ? "YES" : "NO") +
           ", delta: " + NSStringFromCGPoint(delta);
}

}  // namespace kl
