// The banding rules of a valid region, checked box by box; shared by the region tests and the
// region fuzz target (so it needs nothing but the standard library).
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "screen/region/MiRegion.h"

namespace kl::test {

inline std::string boxText(const _Box& b) {
    return "(" + std::to_string(b.x1) + "," + std::to_string(b.y1) + ")-(" + std::to_string(b.x2) + "," +
           std::to_string(b.y2) + ")";
}

// Empty string when the region is valid (banded, coalesced, exact extents), else what is wrong.
inline std::string bandingFault(const _Region* r) {
    if (r->data == &miBrokenData) return "broken";
    if (!r->data) return r->extents.x1 < r->extents.x2 && r->extents.y1 < r->extents.y2 ? "" : "empty single box";
    int64_t n = r->data->numRects;
    if (n == 0) return r->extents.x1 == r->extents.x2 && r->extents.y1 == r->extents.y2 ? "" : "empty with extents";
    if (n == 1) return "one box held in an array";
    const _Box* b = regionBoxes(r);
    _Box ext = b[0];
    for (int64_t i = 0; i < n; ++i) {
        if (b[i].x1 >= b[i].x2 || b[i].y1 >= b[i].y2) return "empty box " + boxText(b[i]);
        ext.x1 = std::min(ext.x1, b[i].x1);
        ext.x2 = std::max(ext.x2, b[i].x2);
        ext.y2 = std::max(ext.y2, b[i].y2);
        if (i == 0) continue;
        if (b[i].y1 == b[i - 1].y1) {
            if (b[i].y2 != b[i - 1].y2) return "band with two heights at " + boxText(b[i]);
            if (b[i].x1 <= b[i - 1].x2) return "touching or overlapping boxes at " + boxText(b[i]);
            continue;
        }
        if (b[i].y1 < b[i - 1].y2) return "bands overlap at " + boxText(b[i]);
    }
    // Coalescing: compare each pair of neighbouring bands.
    std::vector<std::pair<int64_t, int64_t>> bands;  // [start, end)
    for (int64_t i = 0; i < n;) {
        int64_t j = i + 1;
        while (j < n && b[j].y1 == b[i].y1) ++j;
        bands.push_back({i, j});
        i = j;
    }
    for (size_t k = 1; k < bands.size(); ++k) {
        auto [ps, pe] = bands[k - 1];
        auto [cs, ce] = bands[k];
        if (b[ps].y2 != b[cs].y1 || pe - ps != ce - cs) continue;
        bool same = true;
        for (int64_t i = 0; i < pe - ps; ++i) same &= b[ps + i].x1 == b[cs + i].x1 && b[ps + i].x2 == b[cs + i].x2;
        if (same) return "uncoalesced bands at " + boxText(b[cs]);
    }
    if (ext.x1 != r->extents.x1 || ext.y1 != r->extents.y1 || ext.x2 != r->extents.x2 || ext.y2 != r->extents.y2)
        return "extents " + boxText(r->extents) + " instead of " + boxText(ext);
    return "";
}

}  // namespace kl::test
