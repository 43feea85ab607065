#include "screen/region/MiRegion.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

namespace kl {

_Box miEmptyBox = {0, 0, 0, 0};
_RegData miEmptyData = {0, 0};
_RegData miBrokenData = {0, 0};
_Region miBrokenRegion = {{0, 0, 0, 0}, &miBrokenData};

namespace {

thread_local long allocationsUntilFailure = 0;

bool allocationShouldFail() {
    if (allocationsUntilFailure <= 0) return false;
    return --allocationsUntilFailure == 0;
}

long roundedSize(long size) { return (size + 7) & ~7L; }

inline bool regionNil(const _Region* r) { return r->data && !r->data->numRects; }
inline bool regionNar(const _Region* r) { return r->data == &miBrokenData; }
inline _Box* boxPtr(_RegData* d) { return reinterpret_cast<_Box*>(d + 1); }
inline _Box* regionBoxPtr(_Region* r) { return boxPtr(r->data); }
inline _Box* regionBox(_Region* r, int64_t i) { return regionBoxPtr(r) + i; }
inline _Box* regionTop(_Region* r) { return regionBox(r, r->data->numRects); }
inline _Box* regionEnd(_Region* r) { return regionBox(r, r->data->numRects - 1); }
inline long regionSizeOf(int64_t n) { return static_cast<long>(sizeof(_RegData) + n * sizeof(_Box)); }

_RegData* xallocData(int64_t n) { return static_cast<_RegData*>(Xalloc(regionSizeOf(n))); }
// Only owned arrays have a capacity; the shared markers are never freed.
void xfreeData(_Region* r) {
    if (r->data && r->data->size) Xfree(r->data);
}

inline bool extentCheck(const _Box* r1, const _Box* r2) {
    return r1->x2 > r2->x1 && r1->x1 < r2->x2 && r1->y2 > r2->y1 && r1->y1 < r2->y2;
}
inline bool subsumes(const _Box* r1, const _Box* r2) {
    return r1->x1 <= r2->x1 && r1->x2 >= r2->x2 && r1->y1 <= r2->y1 && r1->y2 >= r2->y2;
}

// Room for n more boxes.
inline bool rectAlloc(_Region* r, int64_t n) {
    if (!r->data || r->data->numRects + n > r->data->size) return miRectAlloc(r, n);
    return true;
}

inline void addRect(_Box*& next, int x1, int y1, int x2, int y2) {
    next->x1 = static_cast<int16_t>(x1);
    next->y1 = static_cast<int16_t>(y1);
    next->x2 = static_cast<int16_t>(x2);
    next->y2 = static_cast<int16_t>(y2);
    ++next;
}

// Appends one box to a region under construction, growing it when full.
inline bool newRect(_Region* r, _Box*& next, int x1, int y1, int x2, int y2) {
    if (!r->data || r->data->numRects == r->data->size) {
        if (!miRectAlloc(r, 1)) return false;
        next = regionTop(r);
    }
    addRect(next, x1, y1, x2, y2);
    r->data->numRects++;
    return true;
}

// Gives back most of an array that holds far fewer boxes than it could.
void downsize(_Region* r, int64_t numRects) {
    if (numRects < (r->data->size >> 1) && r->data->size > 50) {
        auto* data = static_cast<_RegData*>(Xrealloc(r->data, regionSizeOf(numRects)));
        if (data) {
            data->size = numRects;
            r->data = data;
        }
    }
}

// Merges the band starting at curStart into the one at prevStart when they touch and have the
// same x spans; answers the start of the band the next coalescing compares against.
int64_t miCoalesce(_Region* r, int64_t prevStart, int64_t curStart) {
    int64_t numRects = curStart - prevStart;
    if (!numRects) return curStart;
    _Box* prevBox = regionBox(r, prevStart);
    _Box* curBox = regionBox(r, curStart);
    if (prevBox->y2 != curBox->y1) return curStart;
    int16_t y2 = curBox->y2;
    for (int64_t i = 0; i < numRects; ++i) {
        if (prevBox[i].x1 != curBox[i].x1 || prevBox[i].x2 != curBox[i].x2) return curStart;
    }
    r->data->numRects -= numRects;
    for (int64_t i = 0; i < numRects; ++i) prevBox[i].y2 = y2;
    return prevStart;
}

inline void coalesce(_Region* r, int64_t& prevBand, int64_t curBand) {
    if (curBand - prevBand == r->data->numRects - curBand)
        prevBand = miCoalesce(r, prevBand, curBand);
    else
        prevBand = curBand;
}

// Copies a band's boxes restricted to [y1, y2).
bool miAppendNonO(_Region* r, _Box* b, _Box* bEnd, int y1, int y2) {
    int64_t newRects = bEnd - b;
    if (!rectAlloc(r, newRects)) return false;
    _Box* next = regionTop(r);
    r->data->numRects += newRects;
    for (; b != bEnd; ++b) addRect(next, b->x1, y1, b->x2, y2);
    return true;
}

bool appendRegions(_Region* r, _Box* b, _Box* bEnd) {
    int64_t n = bEnd - b;
    if (!n) return true;
    if (!rectAlloc(r, n)) return false;
    std::memmove(regionTop(r), b, n * sizeof(_Box));
    r->data->numRects += n;
    return true;
}

// The run of boxes sharing the first one's y1.
inline _Box* findBand(_Box* b, _Box* end) {
    _Box* bandEnd = b + 1;
    while (bandEnd != end && bandEnd->y1 == b->y1) ++bandEnd;
    return bandEnd;
}

}  // namespace

long miFailAllocationAfter(long n) {
    long left = allocationsUntilFailure;
    allocationsUntilFailure = n;
    return left;
}

void* Xalloc(long size) {
    if (size < 1) return nullptr;
    if (allocationShouldFail()) return nullptr;
    return std::malloc(roundedSize(size));
}

void* Xrealloc(void* ptr, long size) {
    if (size < 1) {
        if (size == 0) std::free(ptr);
        return nullptr;
    }
    if (allocationShouldFail()) return nullptr;
    return std::realloc(ptr, roundedSize(size));
}

void Xfree(void* ptr) {
    if (ptr) std::free(ptr);
}

bool miRegionBreak(RegionPtr pReg) {
    xfreeData(pReg);
    pReg->extents = miEmptyBox;
    pReg->data = &miBrokenData;
    return false;
}

bool miRectAlloc(RegionPtr pRgn, int64_t n) {
    if (!pRgn->data) {
        n++;
        pRgn->data = xallocData(n);
        if (!pRgn->data) return miRegionBreak(pRgn);
        pRgn->data->numRects = 1;
        *regionBoxPtr(pRgn) = pRgn->extents;
    } else if (!pRgn->data->size) {
        pRgn->data = xallocData(n);
        if (!pRgn->data) return miRegionBreak(pRgn);
        pRgn->data->numRects = 0;
    } else {
        if (n == 1) {
            n = pRgn->data->numRects;
            if (n > 500) n = 250;  // grow big arrays by a bounded step
        }
        n += pRgn->data->numRects;
        auto* data = static_cast<_RegData*>(Xrealloc(pRgn->data, regionSizeOf(n)));
        if (!data) return miRegionBreak(pRgn);  // the old array is still ours; the break frees it
        pRgn->data = data;
    }
    pRgn->data->size = n;
    return true;
}

bool miRegionOp(RegionPtr newReg, RegionPtr reg1, RegionPtr reg2, miOverlapProc overlapFunc, bool appendNon1,
                bool appendNon2, bool* pOverlap) {
    if (regionNar(reg1) || regionNar(reg2)) return miRegionBreak(newReg);

    _Box* r1 = regionBoxes(reg1);
    int64_t newSize = regionNumRects(reg1);
    _Box* r1End = r1 + newSize;
    int64_t numRects = regionNumRects(reg2);
    _Box* r2 = regionBoxes(reg2);
    _Box* r2End = r2 + numRects;

    // The destination is one of the sources: its boxes are read while the result is written, so
    // the result goes to a fresh array and the old one is freed at the end.
    _RegData* oldData = nullptr;
    if ((newReg == reg1 || newReg == reg2) && newReg->data && newReg->data->size) {
        oldData = newReg->data;
        newReg->data = &miEmptyData;
    }
    if (numRects > newSize) newSize = numRects;
    newSize <<= 1;
    if (!newReg->data)
        newReg->data = &miEmptyData;
    else if (newReg->data->size)
        newReg->data->numRects = 0;
    auto fail = [&] {
        Xfree(oldData);
        if (!regionNar(newReg)) miRegionBreak(newReg);
        return false;
    };
    if (newSize > newReg->data->size && !miRectAlloc(newReg, newSize)) return fail();

    int ybot = std::min(r1->y1, r2->y1);
    int ytop;
    int64_t prevBand = 0;
    // The part of a band above the other source's current band, kept as it stands when asked.
    auto keepAbove = [&](bool keep, _Box* r, _Box* bandEnd, int otherTop) {
        if (!keep) return true;
        int top = std::max<int>(r->y1, ybot), bot = std::min<int>(r->y2, otherTop);
        if (top == bot) return true;
        int64_t curBand = newReg->data->numRects;
        if (!miAppendNonO(newReg, r, bandEnd, top, bot)) return false;
        coalesce(newReg, prevBand, curBand);
        return true;
    };
    do {
        _Box* r1BandEnd = findBand(r1, r1End);
        _Box* r2BandEnd = findBand(r2, r2End);
        if (r1->y1 < r2->y1) {
            if (!keepAbove(appendNon1, r1, r1BandEnd, r2->y1)) return fail();
            ytop = r2->y1;
        } else if (r2->y1 < r1->y1) {
            if (!keepAbove(appendNon2, r2, r2BandEnd, r1->y1)) return fail();
            ytop = r1->y1;
        } else {
            ytop = r1->y1;
        }
        ybot = std::min(r1->y2, r2->y2);
        if (ybot > ytop) {
            int64_t curBand = newReg->data->numRects;
            if (!overlapFunc(newReg, r1, r1BandEnd, r2, r2BandEnd, static_cast<int16_t>(ytop),
                             static_cast<int16_t>(ybot), pOverlap))
                return fail();
            coalesce(newReg, prevBand, curBand);
        }
        if (r1->y2 == ybot) r1 = r1BandEnd;
        if (r2->y2 == ybot) r2 = r2BandEnd;
    } while (r1 != r1End && r2 != r2End);

    // One source is used up: the rest of the other is kept or dropped as asked.
    auto keepRest = [&](_Box* r, _Box* rEnd) {
        _Box* bandEnd = findBand(r, rEnd);
        int64_t curBand = newReg->data->numRects;
        if (!miAppendNonO(newReg, r, bandEnd, std::max<int>(r->y1, ybot), r->y2)) return false;
        coalesce(newReg, prevBand, curBand);
        return appendRegions(newReg, bandEnd, rEnd);
    };
    if (r1 != r1End && appendNon1) {
        if (!keepRest(r1, r1End)) return fail();
    } else if (r2 != r2End && appendNon2) {
        if (!keepRest(r2, r2End)) return fail();
    }

    Xfree(oldData);
    if (!(numRects = newReg->data->numRects)) {
        xfreeData(newReg);
        newReg->data = &miEmptyData;
    } else if (numRects == 1) {
        newReg->extents = *regionBoxPtr(newReg);
        xfreeData(newReg);
        newReg->data = nullptr;
    } else {
        downsize(newReg, numRects);
    }
    return true;
}

void miSetExtents(RegionPtr pReg) {
    if (!pReg->data) return;
    if (!pReg->data->numRects) {
        pReg->extents.x2 = pReg->extents.x1;
        pReg->extents.y2 = pReg->extents.y1;
        return;
    }
    _Box* box = regionBoxPtr(pReg);
    _Box* boxEnd = regionEnd(pReg);
    pReg->extents.x1 = box->x1;
    pReg->extents.y1 = box->y1;
    pReg->extents.x2 = boxEnd->x2;
    pReg->extents.y2 = boxEnd->y2;
    for (; box <= boxEnd; ++box) {
        if (box->x1 < pReg->extents.x1) pReg->extents.x1 = box->x1;
        if (box->x2 > pReg->extents.x2) pReg->extents.x2 = box->x2;
    }
}

bool miUnionO(RegionPtr pReg, BoxPtr r1, BoxPtr r1End, BoxPtr r2, BoxPtr r2End, int16_t y1, int16_t y2,
              bool* pOverlap) {
    _Box* next = regionTop(pReg);
    int x1, x2;
    if (r1->x1 < r2->x1) {
        x1 = r1->x1;
        x2 = r1->x2;
        r1++;
    } else {
        x1 = r2->x1;
        x2 = r2->x2;
        r2++;
    }
    auto merge = [&](_Box*& r) {
        if (r->x1 <= x2) {
            if (r->x1 < x2) *pOverlap = true;
            if (x2 < r->x2) x2 = r->x2;
        } else {
            if (!newRect(pReg, next, x1, y1, x2, y2)) return false;
            x1 = r->x1;
            x2 = r->x2;
        }
        r++;
        return true;
    };
    while (r1 != r1End && r2 != r2End) {
        if (!(r1->x1 < r2->x1 ? merge(r1) : merge(r2))) return false;
    }
    while (r1 != r1End)
        if (!merge(r1)) return false;
    while (r2 != r2End)
        if (!merge(r2)) return false;
    return newRect(pReg, next, x1, y1, x2, y2);
}

bool miSubtractO(RegionPtr pReg, BoxPtr r1, BoxPtr r1End, BoxPtr r2, BoxPtr r2End, int16_t y1, int16_t y2,
                 bool*) {
    _Box* next = regionTop(pReg);
    int x1 = r1->x1;
    auto nextMinuend = [&] {
        r1++;
        if (r1 != r1End) x1 = r1->x1;
    };
    do {
        if (r2->x2 <= x1) {
            r2++;  // subtrahend wholly left of what is left of the minuend
        } else if (r2->x1 <= x1) {
            x1 = r2->x2;  // subtrahend covers the minuend's left part
            if (x1 >= r1->x2)
                nextMinuend();
            else
                r2++;
        } else if (r2->x1 < r1->x2) {
            if (!newRect(pReg, next, x1, y1, r2->x1, y2)) return false;  // the part left of the hole
            x1 = r2->x2;
            if (x1 >= r1->x2)
                nextMinuend();
            else
                r2++;
        } else {
            if (r1->x2 > x1 && !newRect(pReg, next, x1, y1, r1->x2, y2)) return false;
            nextMinuend();
        }
    } while (r1 != r1End && r2 != r2End);
    while (r1 != r1End) {
        if (!newRect(pReg, next, x1, y1, r1->x2, y2)) return false;
        nextMinuend();
    }
    return true;
}

bool miIntersectO(RegionPtr pReg, BoxPtr r1, BoxPtr r1End, BoxPtr r2, BoxPtr r2End, int16_t y1, int16_t y2,
                  bool*) {
    _Box* next = regionTop(pReg);
    do {
        int x1 = std::max(r1->x1, r2->x1);
        int x2 = std::min(r1->x2, r2->x2);
        if (x1 < x2 && !newRect(pReg, next, x1, y1, x2, y2)) return false;
        if (r1->x2 == x2) r1++;
        if (r2->x2 == x2) r2++;
    } while (r1 != r1End && r2 != r2End);
    return true;
}

bool miRegionCopy(RegionPtr dst, RegionPtr src) {
    if (dst == src) return true;
    dst->extents = src->extents;
    if (!src->data || !src->data->size) {
        xfreeData(dst);
        dst->data = src->data;
        return true;
    }
    if (!dst->data || dst->data->size < src->data->numRects) {
        xfreeData(dst);
        int64_t capacity = std::max<int64_t>(1, src->data->numRects);
        dst->data = xallocData(capacity);
        if (!dst->data) return miRegionBreak(dst);
        dst->data->size = capacity;
    }
    dst->data->numRects = src->data->numRects;
    std::memmove(regionBoxPtr(dst), regionBoxPtr(src), src->data->numRects * sizeof(_Box));
    return true;
}

bool miRegionAppend(RegionPtr dstrgn, RegionPtr rgn) {
    if (regionNar(rgn)) return miRegionBreak(dstrgn);
    if (!rgn->data && dstrgn->data == &miEmptyData) {
        dstrgn->extents = rgn->extents;
        dstrgn->data = nullptr;
        return true;
    }
    int64_t numRects = regionNumRects(rgn);
    if (!numRects) return true;
    bool prepend = false;
    int64_t size = numRects;
    int64_t dnumRects = regionNumRects(dstrgn);
    if (!dnumRects && size < 200) size = 200;  // a fresh array gets room to grow in
    if (!rectAlloc(dstrgn, size)) return false;
    _Box* old = regionBoxes(rgn);
    if (!dnumRects) {
        dstrgn->extents = rgn->extents;
    } else if (dstrgn->extents.x2 > dstrgn->extents.x1) {
        _Box* first = old;
        _Box* last = regionBoxPtr(dstrgn) + (dnumRects - 1);
        auto after = [](const _Box* f, const _Box* l) {
            return f->y1 > l->y2 || (f->y1 == l->y1 && f->y2 == l->y2 && f->x1 > l->x2);
        };
        if (after(first, last)) {
            if (rgn->extents.x1 < dstrgn->extents.x1) dstrgn->extents.x1 = rgn->extents.x1;
            if (rgn->extents.x2 > dstrgn->extents.x2) dstrgn->extents.x2 = rgn->extents.x2;
            dstrgn->extents.y2 = rgn->extents.y2;
        } else {
            first = regionBoxPtr(dstrgn);
            last = old + (numRects - 1);
            if (after(first, last)) {
                prepend = true;
                if (rgn->extents.x1 < dstrgn->extents.x1) dstrgn->extents.x1 = rgn->extents.x1;
                if (rgn->extents.x2 > dstrgn->extents.x2) dstrgn->extents.x2 = rgn->extents.x2;
                dstrgn->extents.y1 = rgn->extents.y1;
            } else {
                dstrgn->extents.x2 = dstrgn->extents.x1;  // order broken: validate before reading
            }
        }
    }
    _Box* target;
    if (prepend) {
        std::memmove(regionBox(dstrgn, numRects), regionBoxPtr(dstrgn), dnumRects * sizeof(_Box));
        target = regionBoxPtr(dstrgn);
    } else {
        target = regionBoxPtr(dstrgn) + dnumRects;
    }
    std::memmove(target, old, numRects * sizeof(_Box));
    dstrgn->data->numRects += numRects;
    return true;
}

void QuickSortRects(_Box rects[], int64_t numRects) {
    auto less = [](const _Box& a, int y1, int x1) { return a.y1 < y1 || (a.y1 == y1 && a.x1 < x1); };
    auto greater = [](const _Box& a, int y1, int x1) { return y1 < a.y1 || (y1 == a.y1 && x1 < a.x1); };
    while (numRects > 1) {
        if (numRects == 2) {
            if (rects[0].y1 > rects[1].y1 || (rects[0].y1 == rects[1].y1 && rects[0].x1 > rects[1].x1))
                std::swap(rects[0], rects[1]);
            return;
        }
        std::swap(rects[0], rects[numRects >> 1]);  // middle box as pivot
        int y1 = rects[0].y1, x1 = rects[0].x1;
        int64_t i = 0, j = numRects;
        do {
            do {
                i++;
            } while (i != numRects && less(rects[i], y1, x1));
            do {
                j--;
            } while (greater(rects[j], y1, x1));
            if (i < j) std::swap(rects[i], rects[j]);
        } while (i < j);
        std::swap(rects[0], rects[j]);
        if (numRects - j - 1 > 1) QuickSortRects(&rects[j + 1], numRects - j - 1);
        numRects = j;
    }
}

bool miRegionValidate(RegionPtr badreg, bool* pOverlap) {
    struct RegionInfo {
        _Region reg;
        int64_t prevBand;
        int64_t curBand;
    };
    *pOverlap = false;
    if (!badreg->data) return true;
    int64_t numRects = badreg->data->numRects;
    if (!numRects) return !regionNar(badreg);
    if (badreg->extents.x1 < badreg->extents.x2) {
        if (numRects == 1) {
            xfreeData(badreg);
            badreg->data = nullptr;
        } else {
            downsize(badreg, numRects);
        }
        return true;
    }

    QuickSortRects(regionBoxPtr(badreg), numRects);

    // Scatter the sorted boxes into the fewest valid regions, then union those pairwise.
    auto* ri = static_cast<RegionInfo*>(Xalloc(4 * sizeof(RegionInfo)));
    if (!ri) return miRegionBreak(badreg);
    int64_t sizeRI = 4, numRI = 1;
    ri[0].prevBand = 0;
    ri[0].curBand = 0;
    ri[0].reg = *badreg;
    // The input's array now belongs to the first partial region; the input must not free it again.
    badreg->data = nullptr;
    _Box* box = regionBoxPtr(&ri[0].reg);
    ri[0].reg.extents = *box;
    ri[0].reg.data->numRects = 1;

    auto bail = [&] {
        for (int64_t i = 0; i < numRI; i++) xfreeData(&ri[i].reg);
        Xfree(ri);
        return miRegionBreak(badreg);
    };

    for (int64_t i = numRects; --i > 0;) {
        box++;
        bool placed = false;
        for (int64_t j = 0; j < numRI && !placed; j++) {
            RegionInfo* rit = &ri[j];
            _Region* reg = &rit->reg;
            _Box* riBox = regionEnd(reg);
            if (box->y1 == riBox->y1 && box->y2 == riBox->y2) {
                if (box->x1 <= riBox->x2) {
                    if (box->x1 < riBox->x2) *pOverlap = true;
                    if (box->x2 > riBox->x2) riBox->x2 = box->x2;
                } else {
                    if (!rectAlloc(reg, 1)) return bail();
                    *regionTop(reg) = *box;
                    reg->data->numRects++;
                }
                placed = true;
            } else if (box->y1 >= riBox->y2) {
                if (reg->extents.x2 < riBox->x2) reg->extents.x2 = riBox->x2;
                if (reg->extents.x1 > box->x1) reg->extents.x1 = box->x1;
                coalesce(reg, rit->prevBand, rit->curBand);
                rit->curBand = reg->data->numRects;
                if (!rectAlloc(reg, 1)) return bail();
                *regionTop(reg) = *box;
                reg->data->numRects++;
                placed = true;
            }
        }
        if (placed) continue;
        if (sizeRI == numRI) {
            auto* grown = static_cast<RegionInfo*>(Xrealloc(ri, 2 * sizeRI * sizeof(RegionInfo)));
            if (!grown) return bail();
            ri = grown;
            sizeRI <<= 1;
        }
        numRI++;
        RegionInfo* rit = &ri[numRI - 1];
        rit->prevBand = 0;
        rit->curBand = 0;
        rit->reg.extents = *box;
        rit->reg.data = nullptr;
        if (!miRectAlloc(&rit->reg, (i + numRI) / numRI)) return bail();
    }

    for (int64_t j = 0; j < numRI; j++) {
        _Region* reg = &ri[j].reg;
        _Box* riBox = regionEnd(reg);
        reg->extents.y2 = riBox->y2;
        if (reg->extents.x2 < riBox->x2) reg->extents.x2 = riBox->x2;
        coalesce(reg, ri[j].prevBand, ri[j].curBand);
        if (reg->data->numRects == 1) {
            xfreeData(reg);
            reg->data = nullptr;
        }
    }

    while (numRI > 1) {
        int64_t half = numRI / 2;
        for (int64_t j = numRI & 1; j < half + (numRI & 1); j++) {
            _Region* reg = &ri[j].reg;
            _Region* hreg = &ri[j + half].reg;
            if (!miRegionOp(reg, reg, hreg, miUnionO, true, true, pOverlap)) return bail();
            if (hreg->extents.x1 < reg->extents.x1) reg->extents.x1 = hreg->extents.x1;
            if (hreg->extents.y1 < reg->extents.y1) reg->extents.y1 = hreg->extents.y1;
            if (hreg->extents.x2 > reg->extents.x2) reg->extents.x2 = hreg->extents.x2;
            if (hreg->extents.y2 > reg->extents.y2) reg->extents.y2 = hreg->extents.y2;
            xfreeData(hreg);
            hreg->data = &miEmptyData;
        }
        numRI -= half;
    }
    *badreg = ri[0].reg;
    Xfree(ri);
    return true;
}

bool miSubtract(RegionPtr regD, RegionPtr regM, RegionPtr regS) {
    if (regionNil(regM) || regionNil(regS) || !extentCheck(&regM->extents, &regS->extents)) {
        if (regionNar(regS)) return miRegionBreak(regD);
        return miRegionCopy(regD, regM);
    }
    if (regM == regS) {
        xfreeData(regD);
        regD->extents.x2 = regD->extents.x1;
        regD->extents.y2 = regD->extents.y1;
        regD->data = &miEmptyData;
        return true;
    }
    bool overlap;
    if (!miRegionOp(regD, regM, regS, miSubtractO, true, false, &overlap)) return false;
    miSetExtents(regD);
    return true;
}

int miRectIn(RegionPtr region, const _Box* prect) {
    int64_t numRects = regionNumRects(region);
    if (!numRects || !extentCheck(&region->extents, prect)) return rgnOUT;
    if (numRects == 1) return subsumes(&region->extents, prect) ? rgnIN : rgnPART;

    bool partOut = false, partIn = false;
    int x = prect->x1, y = prect->y1;
    for (_Box *box = regionBoxPtr(region), *end = box + numRects; box != end; box++) {
        if (box->y2 <= y) continue;  // band above what is left to check
        if (box->y1 > y) {
            partOut = true;  // a gap above this band
            if (partIn || box->y1 >= prect->y2) break;
            y = box->y1;
        }
        if (box->x2 <= x) continue;
        if (box->x1 > x) {
            partOut = true;
            if (partIn) break;
        }
        if (box->x1 < prect->x2) {
            partIn = true;
            if (partOut) break;
        }
        if (box->x2 >= prect->x2) {
            y = box->y2;  // this band covers the rectangle's whole width
            if (y >= prect->y2) break;
            x = prect->x1;
        } else {
            partOut = true;
            break;
        }
    }
    return partIn ? (y < prect->y2 ? rgnPART : rgnIN) : rgnOUT;
}

RegionPtr miRegionCreate(const _Box* rect, int64_t size) {
    auto* reg = static_cast<_Region*>(Xalloc(sizeof(_Region)));
    if (!reg) return &miBrokenRegion;
    miRegionInit(reg, rect, size);
    return reg;
}

void miRegionInit(RegionPtr pReg, const _Box* rect, int64_t size) {
    if (rect) {
        pReg->extents = *rect;
        pReg->data = nullptr;
        return;
    }
    pReg->extents = miEmptyBox;
    if (size > 1) {
        pReg->data = xallocData(size);
        if (!pReg->data) {
            pReg->data = &miBrokenData;
            return;
        }
        pReg->data->size = size;
        pReg->data->numRects = 0;
    } else {
        pReg->data = &miEmptyData;
    }
}

void miRegionDestroy(RegionPtr pReg) {
    xfreeData(pReg);
    if (pReg != &miBrokenRegion) Xfree(pReg);
}

void miRegionUninit(RegionPtr pReg) { xfreeData(pReg); }

bool miRegionEqual(RegionPtr reg1, RegionPtr reg2) {
    const _Box &e1 = reg1->extents, &e2 = reg2->extents;
    if (e1.x1 != e2.x1 || e1.x2 != e2.x2 || e1.y1 != e2.y1 || e1.y2 != e2.y2) return false;
    int64_t n = regionNumRects(reg1);
    if (n != regionNumRects(reg2)) return false;
    const _Box *b1 = regionBoxes(reg1), *b2 = regionBoxes(reg2);
    for (int64_t i = 0; i < n; i++) {
        if (b1[i].x1 != b2[i].x1 || b1[i].x2 != b2[i].x2 || b1[i].y1 != b2[i].y1 || b1[i].y2 != b2[i].y2)
            return false;
    }
    return true;
}

bool miIntersect(RegionPtr newReg, RegionPtr reg1, RegionPtr reg2) {
    if (regionNil(reg1) || regionNil(reg2) || !extentCheck(&reg1->extents, &reg2->extents)) {
        if (regionNar(reg1) || regionNar(reg2)) return miRegionBreak(newReg);
        xfreeData(newReg);
        newReg->extents.x2 = newReg->extents.x1;
        newReg->extents.y2 = newReg->extents.y1;
        newReg->data = &miEmptyData;
        return true;
    }
    if (!reg1->data && !reg2->data) {
        // Two boxes: their common part, read before the destination (maybe one of them) changes.
        _Box common = {std::max(reg1->extents.x1, reg2->extents.x1), std::max(reg1->extents.y1, reg2->extents.y1),
                       std::min(reg1->extents.x2, reg2->extents.x2), std::min(reg1->extents.y2, reg2->extents.y2)};
        xfreeData(newReg);
        newReg->extents = common;
        newReg->data = nullptr;
        return true;
    }
    if (!reg2->data && subsumes(&reg2->extents, &reg1->extents)) return miRegionCopy(newReg, reg1);
    if (!reg1->data && subsumes(&reg1->extents, &reg2->extents)) return miRegionCopy(newReg, reg2);
    if (reg1 == reg2) return miRegionCopy(newReg, reg1);
    bool overlap;
    if (!miRegionOp(newReg, reg1, reg2, miIntersectO, false, false, &overlap)) return false;
    miSetExtents(newReg);
    return true;
}

bool miUnion(RegionPtr newReg, RegionPtr reg1, RegionPtr reg2) {
    if (reg1 == reg2) return miRegionCopy(newReg, reg1);
    if (regionNil(reg1)) {
        if (regionNar(reg1)) return miRegionBreak(newReg);
        return newReg == reg2 ? true : miRegionCopy(newReg, reg2);
    }
    if (regionNil(reg2)) {
        if (regionNar(reg2)) return miRegionBreak(newReg);
        return newReg == reg1 ? true : miRegionCopy(newReg, reg1);
    }
    if (!reg1->data && subsumes(&reg1->extents, &reg2->extents))
        return newReg == reg1 ? true : miRegionCopy(newReg, reg1);
    if (!reg2->data && subsumes(&reg2->extents, &reg1->extents))
        return newReg == reg2 ? true : miRegionCopy(newReg, reg2);
    _Box extents = {std::min(reg1->extents.x1, reg2->extents.x1), std::min(reg1->extents.y1, reg2->extents.y1),
                    std::max(reg1->extents.x2, reg2->extents.x2), std::max(reg1->extents.y2, reg2->extents.y2)};
    bool overlap;
    if (!miRegionOp(newReg, reg1, reg2, miUnionO, true, true, &overlap)) return false;
    newReg->extents = extents;
    return true;
}

bool miInverse(RegionPtr newReg, RegionPtr reg1, const _Box* invRect) {
    if (regionNil(reg1) || !extentCheck(invRect, &reg1->extents)) {
        if (regionNar(reg1)) return miRegionBreak(newReg);
        newReg->extents = *invRect;
        xfreeData(newReg);
        newReg->data = nullptr;
        return true;
    }
    _Region invReg = {*invRect, nullptr};
    bool overlap;
    if (!miRegionOp(newReg, &invReg, reg1, miSubtractO, true, false, &overlap)) return false;
    miSetExtents(newReg);
    return true;
}

RegionPtr miRectsToRegion(int64_t nrects, const miRectangle* prect, bool alreadyBanded) {
    RegionPtr rgn = miRegionCreate(nullptr, 0);
    if (regionNar(rgn) || nrects <= 0) return rgn;
    auto edges = [](const miRectangle& r, _Box& b) {
        b.x1 = r.x;
        b.y1 = r.y;
        b.x2 = static_cast<int16_t>(std::min(r.x + static_cast<int>(r.width), SHRT_MAX));
        b.y2 = static_cast<int16_t>(std::min(r.y + static_cast<int>(r.height), SHRT_MAX));
        return b.x1 < b.x2 && b.y1 < b.y2;
    };
    if (nrects == 1) {
        _Box b;
        if (edges(prect[0], b)) {
            rgn->extents = b;
            xfreeData(rgn);
            rgn->data = nullptr;
        }
        return rgn;
    }
    _RegData* data = xallocData(nrects);
    if (!data) {
        miRegionBreak(rgn);
        return rgn;
    }
    _Box* box = boxPtr(data);
    for (int64_t i = 0; i < nrects; i++)
        if (edges(prect[i], *box)) box++;
    int64_t kept = box - boxPtr(data);
    if (!kept) {
        Xfree(data);
        return rgn;
    }
    data->size = nrects;
    data->numRects = kept;
    rgn->data = data;
    if (alreadyBanded) {
        miSetExtents(rgn);
        if (kept == 1) {
            xfreeData(rgn);
            rgn->data = nullptr;
        }
    } else {
        rgn->extents.x1 = rgn->extents.x2 = 0;
        bool overlap;
        miRegionValidate(rgn, &overlap);
    }
    return rgn;
}

void miTranslateRegion(RegionPtr pReg, int x, int y) {
    int x1 = pReg->extents.x1 + x, y1 = pReg->extents.y1 + y;
    int x2 = pReg->extents.x2 + x, y2 = pReg->extents.y2 + y;
    auto clampShort = [](int v) { return static_cast<int16_t>(std::clamp(v, SHRT_MIN, SHRT_MAX)); };
    if (x1 >= SHRT_MIN && y1 >= SHRT_MIN && x2 <= SHRT_MAX && y2 <= SHRT_MAX) {
        pReg->extents = {static_cast<int16_t>(x1), static_cast<int16_t>(y1), static_cast<int16_t>(x2),
                         static_cast<int16_t>(y2)};
        if (pReg->data) {
            _Box* box = regionBoxPtr(pReg);
            for (int64_t n = pReg->data->numRects; n-- > 0; box++) {
                box->x1 = static_cast<int16_t>(box->x1 + x);
                box->y1 = static_cast<int16_t>(box->y1 + y);
                box->x2 = static_cast<int16_t>(box->x2 + x);
                box->y2 = static_cast<int16_t>(box->y2 + y);
            }
        }
        return;
    }
    if (x2 <= SHRT_MIN || y2 <= SHRT_MIN || x1 >= SHRT_MAX || y1 >= SHRT_MAX) {
        miRegionEmpty(pReg);
        return;
    }
    pReg->extents = {clampShort(x1), clampShort(y1), clampShort(x2), clampShort(y2)};
    if (!pReg->data) return;
    // Clip every box to the 16-bit range and drop the ones that vanish.
    _Box* out = regionBoxPtr(pReg);
    _Box* in = out;
    for (int64_t n = pReg->data->numRects; n-- > 0; in++) {
        _Box b = {clampShort(in->x1 + x), clampShort(in->y1 + y), clampShort(in->x2 + x), clampShort(in->y2 + y)};
        if (b.x1 < b.x2 && b.y1 < b.y2) *out++ = b;
    }
    int64_t kept = out - regionBoxPtr(pReg);
    pReg->data->numRects = kept;
    if (kept == 0) {
        miRegionEmpty(pReg);
    } else if (kept == 1) {
        pReg->extents = *regionBoxPtr(pReg);
        xfreeData(pReg);
        pReg->data = nullptr;
    } else {
        // Clipping can make neighbouring bands identical: band them again.
        pReg->extents.x2 = pReg->extents.x1;
        bool overlap;
        miRegionValidate(pReg, &overlap);
    }
}

void miRegionReset(RegionPtr pReg, const _Box* pBox) {
    pReg->extents = *pBox;
    xfreeData(pReg);
    pReg->data = nullptr;
}

bool miPointInRegion(RegionPtr pReg, int x, int y, _Box* box) {
    int64_t numRects = regionNumRects(pReg);
    const _Box& e = pReg->extents;
    if (!numRects || !(x >= e.x1 && x < e.x2 && y >= e.y1 && y < e.y2)) return false;
    if (numRects == 1) {
        *box = e;
        return true;
    }
    for (_Box *b = regionBoxPtr(pReg), *end = b + numRects; b != end; b++) {
        if (y >= b->y2) continue;
        if (y < b->y1 || x < b->x1) break;  // bands are sorted: nothing further can hold the point
        if (x >= b->x2) continue;
        *box = *b;
        return true;
    }
    return false;
}

bool miRegionNotEmpty(const _Region* pReg) { return !regionNil(pReg); }
bool miRegionBroken(const _Region* pReg) { return regionNar(pReg); }

void miRegionEmpty(RegionPtr pReg) {
    xfreeData(pReg);
    pReg->extents.x2 = pReg->extents.x1;
    pReg->extents.y2 = pReg->extents.y1;
    pReg->data = &miEmptyData;
}

_Box* miRegionExtents(RegionPtr pReg) { return &pReg->extents; }

void QuickSortSpans(miSpanPoint spans[], int widths[], int64_t numSpans) {
    if (numSpans < 2) return;
    std::vector<int64_t> order(numSpans);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
        return spans[a].y < spans[b].y || (spans[a].y == spans[b].y && spans[a].x < spans[b].x);
    });
    std::vector<miSpanPoint> s(numSpans);
    std::vector<int> w(numSpans);
    for (int64_t i = 0; i < numSpans; i++) {
        s[i] = spans[order[i]];
        w[i] = widths[order[i]];
    }
    std::copy(s.begin(), s.end(), spans);
    std::copy(w.begin(), w.end(), widths);
}

int64_t miClipSpans(RegionPtr prgnDst, miSpanPoint* ppt, int* pwidth, int64_t nspans, miSpanPoint* pptNew,
                    int* pwidthNew, bool fSorted) {
    if (!fSorted) QuickSortSpans(ppt, pwidth, nspans);
    int64_t numRects = regionNumRects(prgnDst);
    if (!numRects || regionNar(prgnDst)) return 0;
    const _Box* boxes = regionBoxes(prgnDst);
    int64_t out = 0;
    for (int64_t i = 0; i < nspans; i++) {
        int y = ppt[i].y, x1 = ppt[i].x, x2 = x1 + pwidth[i];
        for (int64_t b = 0; b < numRects; b++) {
            if (boxes[b].y2 <= y) continue;
            if (boxes[b].y1 > y) break;
            int cx1 = std::max<int>(x1, boxes[b].x1), cx2 = std::min<int>(x2, boxes[b].x2);
            if (cx1 < cx2) {
                pptNew[out] = {static_cast<int16_t>(cx1), static_cast<int16_t>(y)};
                pwidthNew[out] = cx2 - cx1;
                out++;
            }
        }
    }
    return out;
}

}  // namespace kl
