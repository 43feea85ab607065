// Banded regions: sets of pixels held as y-x banded lists of 16-bit boxes with a bounding box,
// combined by one band-merge algorithm. The screen service's dirty-region queues rest on these.
//
// A region is valid (banded) when its boxes are sorted by y1 then x1, boxes with equal y1 form a
// band sharing y1 and y2, bands do not overlap, boxes of a band neither overlap nor touch, two
// vertically touching bands never have identical x spans (they are coalesced), extents is the
// bounding box, and a one-box region has null data. miRegionAppend may leave a region invalid
// (extents.x2 == extents.x1 while boxes are held); miRegionValidate repairs it.
//
// Functions answer true, or false after an allocation failure, which leaves the destination broken
// (data == &miBrokenData, zero extents). A broken region counts as having no boxes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kl {

struct _Box {
    int16_t x1, y1, x2, y2;  // x2 and y2 exclusive
};

// Header of a box array; the boxes follow it in the same allocation.
struct _RegData {
    int64_t size;      // capacity in boxes; 0 for the shared markers
    int64_t numRects;  // boxes in use
};

struct _Region {
    _Box extents;
    _RegData* data;  // null: one box equal to extents
};

using BoxPtr = _Box*;
using RegionPtr = _Region*;

extern _Box miEmptyBox;
extern _RegData miEmptyData;
extern _RegData miBrokenData;
extern _Region miBrokenRegion;

enum RectInAnswer { rgnOUT = 0, rgnIN = 1, rgnPART = 2 };

// Read access to the boxes, whatever the data pointer holds.
inline int64_t regionNumRects(const _Region* r) { return r->data ? r->data->numRects : 1; }
inline _Box* regionBoxes(_Region* r) { return r->data ? reinterpret_cast<_Box*>(r->data + 1) : &r->extents; }
inline const _Box* regionBoxes(const _Region* r) {
    return r->data ? reinterpret_cast<const _Box*>(r->data + 1) : &r->extents;
}

// --- used by the dirty-region queues ---
bool miRegionAppend(RegionPtr dst, RegionPtr src);
bool miRegionValidate(RegionPtr badreg, bool* pOverlap);
bool miSubtract(RegionPtr regD, RegionPtr regM, RegionPtr regS);
bool miRegionCopy(RegionPtr dst, RegionPtr src);
int miRectIn(RegionPtr region, const _Box* prect);
void miSetExtents(RegionPtr pReg);
bool miRectAlloc(RegionPtr pRgn, int64_t n);
bool miRegionBreak(RegionPtr pReg);
void QuickSortRects(_Box rects[], int64_t numRects);

using miOverlapProc = bool (*)(RegionPtr, BoxPtr, BoxPtr, BoxPtr, BoxPtr, int16_t, int16_t, bool*);
bool miRegionOp(RegionPtr newReg, RegionPtr reg1, RegionPtr reg2, miOverlapProc overlapFunc, bool appendNon1,
                bool appendNon2, bool* pOverlap);
bool miUnionO(RegionPtr pReg, BoxPtr r1, BoxPtr r1End, BoxPtr r2, BoxPtr r2End, int16_t y1, int16_t y2, bool* pOverlap);
bool miSubtractO(RegionPtr pReg, BoxPtr r1, BoxPtr r1End, BoxPtr r2, BoxPtr r2End, int16_t y1, int16_t y2,
                 bool* pOverlap);
bool miIntersectO(RegionPtr pReg, BoxPtr r1, BoxPtr r1End, BoxPtr r2, BoxPtr r2End, int16_t y1, int16_t y2,
                  bool* pOverlap);

// Allocation shims: sizes are rounded up to a multiple of 8; a size below 1 gives null.
void* Xalloc(long size);
void* Xrealloc(void* ptr, long size);
void Xfree(void* ptr);

// Test hook: the n-th allocation from now (1 = the next) fails; 0 turns failures off. Per thread.
// Answers the countdown it replaces (0 once the failure has happened).
long miFailAllocationAfter(long n);

// --- complete set of region operations (the service itself uses only the ones above) ---
RegionPtr miRegionCreate(const _Box* rect, int64_t size);
void miRegionInit(RegionPtr pReg, const _Box* rect, int64_t size);
void miRegionDestroy(RegionPtr pReg);
void miRegionUninit(RegionPtr pReg);
bool miRegionEqual(RegionPtr reg1, RegionPtr reg2);
bool miIntersect(RegionPtr newReg, RegionPtr reg1, RegionPtr reg2);
bool miUnion(RegionPtr newReg, RegionPtr reg1, RegionPtr reg2);
bool miInverse(RegionPtr newReg, RegionPtr reg1, const _Box* invRect);

struct miRectangle {
    int16_t x, y;
    uint16_t width, height;
};
// Rectangles with right and bottom edges clamped to 32767; empty ones are skipped. Banded input is
// taken as it stands, anything else is validated.
RegionPtr miRectsToRegion(int64_t nrects, const miRectangle* prect, bool alreadyBanded);
void miTranslateRegion(RegionPtr pReg, int x, int y);
void miRegionReset(RegionPtr pReg, const _Box* pBox);
bool miPointInRegion(RegionPtr pReg, int x, int y, _Box* box);
bool miRegionNotEmpty(const _Region* pReg);
bool miRegionBroken(const _Region* pReg);
void miRegionEmpty(RegionPtr pReg);
_Box* miRegionExtents(RegionPtr pReg);

struct miSpanPoint {
    int16_t x, y;
};
// Clips horizontal spans (start point, width) against a region; writes the visible pieces into the
// out arrays (room for as many pieces as the region has boxes per span, times the span count) and
// answers their number. Unsorted spans are sorted by y first.
int64_t miClipSpans(RegionPtr prgnDst, miSpanPoint* ppt, int* pwidth, int64_t nspans, miSpanPoint* pptNew,
                    int* pwidthNew, bool fSorted);
void QuickSortSpans(miSpanPoint spans[], int widths[], int64_t numSpans);

}  // namespace kl
