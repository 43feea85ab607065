// Checks of banded regions against a plain pixel-set model, shared by the region and queue tests.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "screen/KLRect.h"
#include "screen/region/MiRegion.h"
#include "RegionValidity.h"

namespace kl::test {

using Pixels = std::set<std::pair<int, int>>;  // (x, y)

inline void addBox(Pixels& p, int x1, int y1, int x2, int y2) {
    for (int y = y1; y < y2; ++y)
        for (int x = x1; x < x2; ++x) p.insert({x, y});
}

inline Pixels pixelsOf(const _Region* r) {
    Pixels p;
    if (r->data == &miBrokenData) return p;
    const _Box* b = regionBoxes(r);
    for (int64_t i = 0; i < regionNumRects(r); ++i) addBox(p, b[i].x1, b[i].y1, b[i].x2, b[i].y2);
    return p;
}

inline Pixels pixelsOf(const std::vector<KLRect>& rects) {
    Pixels p;
    for (const auto& r : rects)
        addBox(p, int(r.rect.origin.x), int(r.rect.origin.y), int(r.rect.origin.x + r.rect.size.width),
               int(r.rect.origin.y + r.rect.size.height));
    return p;
}

inline std::vector<_Box> boxesOf(const _Region* r) {
    const _Box* b = regionBoxes(r);
    return std::vector<_Box>(b, b + (r->data == &miBrokenData ? 0 : regionNumRects(r)));
}

// A region that frees itself.
struct TestRegion {
    _Region r = {miEmptyBox, &miEmptyData};
    TestRegion() = default;
    explicit TestRegion(_Box b) : r{b, nullptr} {}
    ~TestRegion() { miRegionUninit(&r); }
    TestRegion(const TestRegion&) = delete;
    _Region* get() { return &r; }
};

}  // namespace kl::test

namespace kl {
inline bool operator==(const _Box& a, const _Box& b) {
    return a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2;
}
inline std::ostream& operator<<(std::ostream& os, const _Box& b) { return os << test::boxText(b); }
}  // namespace kl
