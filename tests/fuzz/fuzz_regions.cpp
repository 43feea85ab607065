// libFuzzer target over the region arithmetic the dirty queues use: arbitrary box lists through
// append, validate, subtract, copy and the rectangle-in-region test, each result checked for valid
// banding. Built and run by hand (tests/fuzz/build-regions), not in CI.
//
// Input: the first byte picks the mode. Bit 0 clear: boxes of four little-endian 16-bit values
// (any coordinates); set: boxes of four bytes inside a 64 x 64 area, whose results are also
// compared with a pixel model. Boxes go to region A or B by bit 1 of their first byte.
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RegionValidity.h"

namespace {

using namespace kl;
using Grid = std::bitset<64 * 64>;

void require(bool ok, const char* what, const std::string& detail = {}) {
    if (ok) return;
    std::fprintf(stderr, "region fault: %s %s\n", what, detail.c_str());
    std::abort();
}

Grid gridOf(const _Region* r) {
    Grid g;
    const _Box* b = regionBoxes(r);
    int64_t n = r->data == &miBrokenData ? 0 : regionNumRects(r);
    for (int64_t i = 0; i < n; ++i)
        for (int y = b[i].y1; y < b[i].y2; ++y)
            for (int x = b[i].x1; x < b[i].x2; ++x) g.set(y * 64 + x);
    return g;
}

void requireValid(const _Region* r, const char* what) {
    std::string fault = test::bandingFault(r);
    require(fault.empty(), what, fault);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool small = data[0] & 1;
    const size_t boxBytes = small ? 4 : 8;
    _Region a = {miEmptyBox, &miEmptyData}, b = {miEmptyBox, &miEmptyData}, d = {miEmptyBox, &miEmptyData};
    Grid ma, mb;
    _Box first{};
    bool haveFirst = false;
    for (size_t at = 1; at + boxBytes <= size; at += boxBytes) {
        _Box box;
        bool toB;
        if (small) {
            const uint8_t* p = data + at;
            int x1 = p[0] % 64, y1 = p[1] % 64;
            box = {int16_t(x1), int16_t(y1), int16_t(x1 + 1 + p[2] % (64 - x1)), int16_t(y1 + 1 + p[3] % (64 - y1))};
            toB = p[0] & 0x80;
        } else {
            int16_t v[4];
            std::memcpy(v, data + at, 8);
            box = {v[0], v[1], v[2], v[3]};
            toB = data[at] & 2;
        }
        if (box.x1 >= box.x2 || box.y1 >= box.y2) continue;  // the queues never hold boxes without area
        if (!haveFirst) first = box, haveFirst = true;
        _Region one = {box, nullptr};
        miRegionAppend(toB ? &b : &a, &one);
        if (small) {
            Grid g = gridOf(&one);
            (toB ? mb : ma) |= g;
        }
    }
    bool overlap;
    require(miRegionValidate(&a, &overlap), "validate a");
    require(miRegionValidate(&b, &overlap), "validate b");
    requireValid(&a, "a");
    requireValid(&b, "b");
    require(miSubtract(&d, &a, &b), "subtract");
    requireValid(&d, "a - b");
    if (small) {
        require(gridOf(&a) == ma && gridOf(&b) == mb, "validate changed pixels");
        require(gridOf(&d) == (ma & ~mb), "subtraction pixels");
    }
    if (haveFirst) {
        int in = miRectIn(&d, &first);
        if (small) {
            _Region firstRegion = {first, nullptr};
            Grid box = gridOf(&firstRegion);
            Grid inside = box & gridOf(&d);
            int expected = inside.none() ? rgnOUT : inside == box ? rgnIN : rgnPART;
            require(in == expected, "rect in");
        }
        // Cleaning the first box out of the result, as the encoder does after sending it.
        _Region cut = {first, nullptr};
        require(miSubtract(&d, &d, &cut), "clean");
        requireValid(&d, "cleaned");
    }
    require(miRegionCopy(&a, &d), "copy");
    requireValid(&a, "copy");
    miRegionUninit(&a);
    miRegionUninit(&b);
    miRegionUninit(&d);
    return 0;
}
