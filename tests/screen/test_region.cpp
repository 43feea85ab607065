// Banded region arithmetic: the documented examples, a randomized comparison with a pixel model,
// and allocation failures at every step of a sequence.
#include <bitset>
#include <random>

#include "RegionTestSupport.h"

namespace kl::test {
namespace {

void appendBox(_Region* dst, _Box b) {
    _Region one = {b, nullptr};
    ASSERT_TRUE(miRegionAppend(dst, &one));
}

struct ValidateCase {
    const char* name;
    std::vector<_Box> appended;
    std::vector<_Box> expected;
    bool overlap;
};

TEST(Region, AppendThenValidateBandsAndCoalesces) {
    const ValidateCase cases[] = {
        {"overlapping squares", {{0, 0, 10, 10}, {5, 5, 15, 15}}, {{0, 0, 10, 5}, {0, 5, 15, 10}, {5, 10, 15, 15}}, true},
        {"side by side merge", {{0, 0, 10, 10}, {10, 0, 20, 10}}, {{0, 0, 20, 10}}, false},
        {"stacked coalesce", {{0, 0, 10, 5}, {0, 5, 10, 10}}, {{0, 0, 10, 10}}, false},
        {"reverse order", {{0, 20, 5, 25}, {0, 0, 5, 5}}, {{0, 0, 5, 5}, {0, 20, 5, 25}}, false},
        {"same band apart", {{20, 0, 30, 4}, {0, 0, 10, 4}}, {{0, 0, 10, 4}, {20, 0, 30, 4}}, false},
        {"inside another", {{0, 0, 10, 10}, {2, 2, 4, 4}}, {{0, 0, 10, 10}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestRegion r;
        for (const auto& b : c.appended) appendBox(r.get(), b);
        bool overlap = !c.overlap;
        EXPECT_TRUE(miRegionValidate(r.get(), &overlap));
        EXPECT_EQ(overlap, c.overlap);
        EXPECT_EQ(bandingFault(r.get()), "");
        EXPECT_EQ(boxesOf(r.get()), c.expected);
    }
}

TEST(Region, SingleAppendKeepsNoArrayAndManyReserveTwoHundred) {
    TestRegion single;
    appendBox(single.get(), {0, 0, 10, 10});
    EXPECT_EQ(single.r.data, nullptr);
    EXPECT_EQ(single.r.extents, (_Box{0, 0, 10, 10}));

    for (int n : {2, 199, 250}) {
        SCOPED_TRACE(n);
        TestRegion src;
        for (int i = 0; i < n; ++i) appendBox(src.get(), {int16_t(i * 2), 0, int16_t(i * 2 + 1), 1});
        EXPECT_EQ(bandingFault(src.get()), "");  // appended in order: valid without validation
        TestRegion dst;
        ASSERT_TRUE(miRegionAppend(dst.get(), src.get()));
        EXPECT_EQ(dst.r.data->size, std::max(n, 200));
        EXPECT_EQ(boxesOf(dst.get()), boxesOf(src.get()));
    }
}

TEST(Region, Subtraction) {
    TestRegion m({0, 0, 10, 10}), s({2, 2, 4, 4}), d;
    ASSERT_TRUE(miSubtract(d.get(), m.get(), s.get()));
    EXPECT_EQ(boxesOf(d.get()), (std::vector<_Box>{{0, 0, 10, 2}, {0, 2, 2, 4}, {4, 2, 10, 4}, {0, 4, 10, 10}}));
    EXPECT_EQ(bandingFault(d.get()), "");

    ASSERT_TRUE(miSubtract(d.get(), d.get(), d.get()));
    EXPECT_EQ(regionNumRects(d.get()), 0);
    ASSERT_TRUE(miSubtract(d.get(), d.get(), m.get()));
    EXPECT_EQ(regionNumRects(d.get()), 0);

    // Subtracting everything but a hole, in place.
    TestRegion whole({0, 0, 10, 10}), frame;
    appendBox(frame.get(), {0, 0, 10, 10});
    appendBox(frame.get(), {0, 10, 10, 12});
    bool overlap;
    miRegionValidate(frame.get(), &overlap);
    ASSERT_TRUE(miSubtract(whole.get(), whole.get(), frame.get()));
    EXPECT_EQ(regionNumRects(whole.get()), 0);
}

TEST(Region, RectInAnswersOutInPart) {
    TestRegion l;
    appendBox(l.get(), {0, 0, 10, 5});
    appendBox(l.get(), {0, 5, 5, 10});
    bool overlap;
    ASSERT_TRUE(miRegionValidate(l.get(), &overlap));
    TestRegion square({0, 0, 10, 10}), empty;
    const _Box probe = {0, 0, 10, 10};
    EXPECT_EQ(miRectIn(l.get(), &probe), rgnPART);
    EXPECT_EQ(miRectIn(square.get(), &probe), rgnIN);
    const _Box far = {20, 20, 30, 30};
    EXPECT_EQ(miRectIn(square.get(), &far), rgnOUT);
    EXPECT_EQ(miRectIn(empty.get(), &probe), rgnOUT);
    const _Box inLower = {0, 6, 4, 9};
    EXPECT_EQ(miRectIn(l.get(), &inLower), rgnIN);
}

TEST(Region, UnusedOperationsAgreeWithTheirDefinitions) {
    TestRegion a({0, 0, 10, 10}), b({5, 5, 15, 15}), u, i, inv;
    ASSERT_TRUE(miUnion(u.get(), a.get(), b.get()));
    ASSERT_TRUE(miIntersect(i.get(), a.get(), b.get()));
    EXPECT_EQ(boxesOf(i.get()), (std::vector<_Box>{{5, 5, 10, 10}}));
    EXPECT_EQ(pixelsOf(u.get()).size(), 175u);
    const _Box frame = {0, 0, 20, 20};
    ASSERT_TRUE(miInverse(inv.get(), u.get(), &frame));
    EXPECT_EQ(pixelsOf(inv.get()).size(), 400u - 175u);
    EXPECT_FALSE(miRegionEqual(u.get(), a.get()));
    EXPECT_TRUE(miRegionEqual(a.get(), a.get()));

    _Box found;
    EXPECT_TRUE(miPointInRegion(u.get(), 12, 12, &found));
    EXPECT_EQ(found, (_Box{5, 10, 15, 15}));
    EXPECT_FALSE(miPointInRegion(u.get(), 12, 2, &found));

    miTranslateRegion(u.get(), 32760, 0);  // clipped to the 16-bit range
    EXPECT_EQ(bandingFault(u.get()), "");
    EXPECT_EQ(u.r.extents.x2, 32767);

    const miRectangle rects[] = {{5, 5, 10, 10}, {0, 0, 10, 10}, {3, 3, 0, 4}, {32760, 0, 100, 1}};
    RegionPtr fromRects = miRectsToRegion(4, rects, false);
    EXPECT_EQ(bandingFault(fromRects), "");
    EXPECT_EQ(pixelsOf(fromRects).size(), 175u + 7u);
    miRegionDestroy(fromRects);

    miSpanPoint spans[] = {{0, 12}, {-5, 2}};
    int widths[] = {20, 30};
    miSpanPoint out[8];
    int outWidths[8];
    TestRegion c;
    ASSERT_TRUE(miUnion(c.get(), a.get(), b.get()));
    ASSERT_EQ(miClipSpans(c.get(), spans, widths, 2, out, outWidths, false), 2);
    EXPECT_EQ(out[0].x, 0);
    EXPECT_EQ(outWidths[0], 10);  // y 2: [0, 10)
    EXPECT_EQ(out[1].x, 5);
    EXPECT_EQ(outWidths[1], 10);  // y 12: [5, 15)
}

// Regions over a 64 x 64 area against a bitset of their pixels.
using Grid = std::bitset<64 * 64>;

Grid gridOf(const _Region* r) {
    Grid g;
    for (auto [x, y] : pixelsOf(r)) g.set(y * 64 + x);
    return g;
}

Grid gridOf(const _Box& b) {
    Grid g;
    for (int y = b.y1; y < b.y2; ++y)
        for (int x = b.x1; x < b.x2; ++x) g.set(y * 64 + x);
    return g;
}

_Box randomBox(std::mt19937& rng) {
    auto coord = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int x1 = coord(0, 62), y1 = coord(0, 62);
    return {int16_t(x1), int16_t(y1), int16_t(coord(x1 + 1, std::min(64, x1 + 24))),
            int16_t(coord(y1 + 1, std::min(64, y1 + 24)))};
}

TEST(Region, RandomSequencesMatchAPixelModel) {
    std::mt19937 rng(20261210);
    for (int sequence = 0; sequence < 2000; ++sequence) {
        TestRegion a, b;
        Grid ma, mb;
        bool overlap;
        for (int step = 0; step < 24; ++step) {
            int op = std::uniform_int_distribution<int>(0, 8)(rng);
            SCOPED_TRACE("sequence " + std::to_string(sequence) + " step " + std::to_string(step) + " op " +
                         std::to_string(op));
            if (op >= 2) {  // every op but append and validate wants banded operands
                ASSERT_TRUE(miRegionValidate(a.get(), &overlap));
                ASSERT_TRUE(miRegionValidate(b.get(), &overlap));
            }
            switch (op) {
                case 0: {
                    _Box box = randomBox(rng);
                    appendBox(a.get(), box);
                    ma |= gridOf(box);
                    break;
                }
                case 1: ASSERT_TRUE(miRegionValidate(a.get(), &overlap)); break;
                case 2: {
                    _Box box = randomBox(rng);
                    appendBox(b.get(), box);
                    mb |= gridOf(box);
                    break;
                }
                case 3: ASSERT_TRUE(miSubtract(a.get(), a.get(), b.get())); ma &= ~mb; break;
                case 4: {
                    TestRegion d;
                    ASSERT_TRUE(miSubtract(d.get(), b.get(), a.get()));
                    ASSERT_TRUE(miRegionCopy(b.get(), d.get()));
                    mb &= ~ma;
                    break;
                }
                case 5: ASSERT_TRUE(miRegionCopy(b.get(), a.get())); mb = ma; break;
                case 6: ASSERT_TRUE(miUnion(a.get(), a.get(), b.get())); ma |= mb; break;
                case 7: ASSERT_TRUE(miIntersect(a.get(), a.get(), b.get())); ma &= mb; break;
                case 8: {
                    _Box probe = randomBox(rng);
                    Grid inside = gridOf(probe) & ma;
                    int expected = inside.none() ? rgnOUT : inside == gridOf(probe) ? rgnIN : rgnPART;
                    ASSERT_EQ(miRectIn(a.get(), &probe), expected) << probe;
                    break;
                }
            }
            ASSERT_EQ(gridOf(a.get()), ma);
            ASSERT_EQ(gridOf(b.get()), mb);
            if (op >= 1) {
                ASSERT_EQ(bandingFault(a.get()), "");
                if (op >= 3) {
                    ASSERT_EQ(bandingFault(b.get()), "");
                }
            }
        }
    }
}

// Fails the n-th allocation of one fixed sequence, for every n the sequence reaches: an operation
// either succeeds with the right pixels or answers false with its destination broken, and nothing
// is freed twice or leaked (the sanitizers watch).
TEST(Region, AllocationFailureBreaksTheDestination) {
    std::mt19937 rng(7);
    std::vector<_Box> boxes;
    for (int i = 0; i < 60; ++i) boxes.push_back(randomBox(rng));
    // A copy from a broken source succeeds with a broken destination.
    auto expectOutcome = [](bool ok, _Region* dst, const Grid& expected, bool sourceBroken = false) {
        if (!ok || sourceBroken) {
            EXPECT_TRUE(miRegionBroken(dst));
            return;
        }
        EXPECT_EQ(bandingFault(dst), "");
        EXPECT_EQ(gridOf(dst), expected);
    };
    int failures = 0;
    for (long n = 1;; ++n) {
        SCOPED_TRACE(n);
        TestRegion a, b, d;
        miFailAllocationAfter(n);
        for (size_t i = 0; i < boxes.size(); ++i) {
            _Region one = {boxes[i], nullptr};
            _Region* dst = i % 2 ? b.get() : a.get();
            if (!miRegionAppend(dst, &one)) {
                EXPECT_TRUE(miRegionBroken(dst));
            }
        }
        bool overlap;
        for (_Region* r : {a.get(), b.get()}) {
            Grid before = gridOf(r);
            expectOutcome(miRegionValidate(r, &overlap), r, before);
        }
        Grid ga = gridOf(a.get()), gb = gridOf(b.get());
        bool usable = !miRegionBroken(a.get()) && !miRegionBroken(b.get());
        bool ok = miSubtract(d.get(), a.get(), b.get());
        if (usable) expectOutcome(ok, d.get(), ga & ~gb);
        ok = miUnion(a.get(), a.get(), b.get());
        if (usable) expectOutcome(ok, a.get(), ga | gb);
        Grid gd = gridOf(d.get());
        expectOutcome(miRegionCopy(b.get(), d.get()), b.get(), gd, miRegionBroken(d.get()));
        if (miFailAllocationAfter(0) > 0) break;  // n went past the sequence's last allocation
        ++failures;
        // A broken region breaks what is made from it, and cannot be validated.
        for (_Region* r : {a.get(), b.get(), d.get()}) {
            if (!miRegionBroken(r)) continue;
            TestRegion after;
            EXPECT_FALSE(miRegionAppend(after.get(), r));
            EXPECT_TRUE(miRegionBroken(after.get()));
            EXPECT_FALSE(miRegionValidate(r, &overlap));
        }
    }
    EXPECT_GT(failures, 10);
}

}  // namespace
}  // namespace kl::test
