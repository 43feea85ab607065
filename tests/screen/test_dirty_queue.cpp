// The region wrapper and the per-display queue of changed areas: truncation, degenerate
// rectangles, cleaning, merged extents, moved blocks, a model-driven random run and two threads.
#include <atomic>
#include <random>
#include <thread>

#include "RegionTestSupport.h"
#include "screen/DirtyRectangleManager.h"
#include "screen/KLGeometryHelpers.h"
#include "screen/RegionBox.h"

namespace kl::test {
namespace {

TEST(UpdatedRectangles, CountsContainmentAndTruncation) {
    UpdatedRectangles r;
    EXPECT_EQ(r.count(), 0u);
    r.addRectangle(Rect(0, 0, 10, 10));
    EXPECT_EQ(r.count(), 1u);
    EXPECT_EQ(r.containsRect(Rect(2, 2, 5, 5)), 1.0);
    EXPECT_EQ(r.containsRect(Rect(5, 5, 10, 10)), 0.8);
    EXPECT_EQ(r.containsRect(Rect(20, 20, 5, 5)), 0.0);
    UpdatedRectangles empty;
    EXPECT_EQ(empty.containsRect(Rect(0, 0, 1, 1)), 0.0);

    // Edges truncate toward zero; y edges are ordered whatever the sign of the height.
    const struct {
        Rect rect;
        _Box box;
    } truncations[] = {
        {Rect(10.7, 20.2, 5.6, 3.0), {10, 20, 16, 23}},
        {Rect(10, 30, 5, -10), {10, 20, 15, 30}},
        {Rect(-3.7, -1.5, 2.0, 3.0), {-3, -1, -1, 1}},
        {Rect(40000, 0, 1, 1), {int16_t(40000 - 65536), 0, int16_t(40001 - 65536), 1}},
    };
    for (const auto& t : truncations) EXPECT_EQ(regionBoxFromRect(t.rect), t.box) << NSStringFromCGRect(t.rect);

    UpdatedRectangles fractional;
    fractional.addRectangle(Rect(10.7, 20.2, 5.6, 3.0));
    ASSERT_EQ(fractional.newArrayOfRectangles(), (std::vector<KLRect>{{Rect(10, 20, 6, 3), false, {}}}));
}

TEST(UpdatedRectangles, MergeSubtractCopyAndClean) {
    auto a = std::make_shared<UpdatedRectangles>();
    UpdatedRectangles b;
    a->addRectangle(Rect(0, 0, 10, 10));
    b.addRectangle(Rect(5, 5, 10, 10));
    a->mergeWithRectangles(&b);
    a->mergeWithRectangles(nullptr);
    auto copy = a->copy();
    EXPECT_TRUE(copy->needsValidation());
    EXPECT_EQ(pixelsOf(copy->newArrayOfRectangles()).size(), 175u);
    a->subtractFromRectangles(b);
    EXPECT_EQ(pixelsOf(a->newArrayOfRectangles()).size(), 75u);
    a->cleanRectangle(Rect(0, 0, 10, 10));
    EXPECT_TRUE(a->newArrayOfRectangles().empty());
    EXPECT_EQ(bandingFault(copy->region()), "");  // the copy is untouched by the original's changes
    EXPECT_EQ(pixelsOf(copy->newArrayOfRectangles()).size(), 175u);
    a->subtractFromRectangles(*a);
    EXPECT_EQ(a->count(), 0u);
}

TEST(DirtyRectangleManager, QueueBehaviour) {
    DirtyRectangleManager m;
    EXPECT_EQ(m.newMergedRectExtents(), nullptr);
    EXPECT_TRUE(m.newArrayOfDirtyRectangles().empty());
    EXPECT_EQ(m.classOfNextDirtyBlock(), DirtyBlockKind::none);

    // A rectangle without area after truncation is refused: no block, no zero-size rectangle.
    for (Rect degenerate : {Rect(5, 5, 0, 10), Rect(5.2, 5, 0.5, 10), Rect(5, 5, 10, 0.9)}) {
        m.addDirtyRectangle(degenerate);
        EXPECT_TRUE(m.rectangleQueue().empty()) << NSStringFromCGRect(degenerate);
    }

    // Two rectangles: one block holding their union in banded form, without overlaps.
    m.addDirtyRectangle(Rect(0, 0, 10, 10));
    m.addDirtyRectangle(Rect(5, 5, 10, 10));
    EXPECT_EQ(m.rectangleQueue().size(), 1u);
    auto rects = m.newArrayOfDirtyRectangles();
    EXPECT_EQ(rects, (std::vector<KLRect>{{Rect(0, 0, 10, 5), false, {}},
                                          {Rect(0, 5, 15, 5), false, {}},
                                          {Rect(5, 10, 10, 5), false, {}}}));
    EXPECT_EQ(m.newArrayOfDirtyRectangles(), rects);  // reading does not drain
    auto merged = m.newMergedRectExtents();
    ASSERT_NE(merged, nullptr);
    EXPECT_EQ(merged->newArrayOfRectangles(), rects);

    // Cleaning what was sent empties and removes the block; the next add starts a new one.
    for (const auto& r : rects) m.cleanRectangle(r.rect);
    EXPECT_TRUE(m.rectangleQueue().empty());
    m.cleanRectangle(Rect(0, 0, 1, 1));  // on an empty queue: nothing
    m.addDirtyRectangle(Rect(1, 1, 2, 2));
    EXPECT_EQ(m.rectangleQueue().size(), 1u);
    EXPECT_EQ(m.classOfNextDirtyBlock(), DirtyBlockKind::updated);
}

TEST(DirtyRectangleManager, MovedBlocksExcludeTheirAreaUntilAcknowledged) {
    DirtyRectangleManager m;
    const Rect moved[] = {Rect(0, 0, 10, 10), Rect(20, 0, 10, 10)};
    m.addMovedRectangle(moved, Point{5, 0}, 2);
    EXPECT_EQ(m.classOfNextDirtyBlock(), DirtyBlockKind::moved);

    // What the move will paint (x 5..15 and 25..35) needs no pixels; the rest of the change does.
    m.addDirtyRectangle(Rect(0, 0, 40, 10));
    auto rects = m.newArrayOfDirtyRectangles();
    ASSERT_EQ(rects.size(), 5u);
    EXPECT_EQ(rects[0], (KLRect{moved[0], true, {5, 0}}));
    EXPECT_EQ(rects[1], (KLRect{moved[1], true, {5, 0}}));
    Pixels expected;
    addBox(expected, 0, 0, 5, 10);
    addBox(expected, 15, 0, 25, 10);
    addBox(expected, 35, 0, 40, 10);
    EXPECT_EQ(pixelsOf(std::vector<KLRect>(rects.begin() + 2, rects.end())), expected);

    // A change wholly inside the moved area adds nothing.
    DirtyRectangleManager inside;
    inside.addMovedRectangle(moved, Point{5, 0}, 1);
    inside.addDirtyRectangle(Rect(6, 1, 3, 3));
    EXPECT_EQ(inside.rectangleQueue().size(), 1u);

    // Cleaning leaves a moved first block alone; acknowledging its rectangles removes it.
    m.cleanRectangle(Rect(0, 0, 40, 10));
    EXPECT_EQ(m.newArrayOfDirtyRectangles().size(), 5u);
    m.ackMovedRectangle(Rect(0, 0, 10, 11));  // not an entry: nothing
    m.ackMovedRectangle(moved[0]);
    EXPECT_EQ(m.rectangleQueue().size(), 2u);
    m.ackMovedRectangle(moved[1]);
    EXPECT_EQ(m.classOfNextDirtyBlock(), DirtyBlockKind::updated);
    m.ackMovedRectangle(moved[1]);  // the first block is not a move now: nothing happens
    EXPECT_EQ(m.rectangleQueue().size(), 1u);
}

// A plain model of the queue: blocks of pixel sets, and moved blocks with their rectangles.
struct ModelBlock {
    bool moved = false;
    Pixels pixels;            // updated: what is owed; moved: the area the move paints
    std::vector<Rect> rects;  // moved only
    Point delta;
};

Pixels boxPixels(const Rect& r) {
    _Box b = regionBoxFromRect(r);
    Pixels p;
    if (boxHasArea(b)) addBox(p, b.x1, b.y1, b.x2, b.y2);
    return p;
}

void modelAdd(std::vector<ModelBlock>& q, const Rect& r) {
    Pixels add = boxPixels(r);
    if (add.empty()) return;
    const ModelBlock* movedBlock = nullptr;
    if (!q.empty() && q.back().moved) movedBlock = &q.back();
    if (!q.empty() && !q.back().moved && q.size() >= 2 && q[q.size() - 2].moved) movedBlock = &q[q.size() - 2];
    Pixels moved = movedBlock ? movedBlock->pixels : Pixels{};
    if (q.empty() || q.back().moved) q.push_back({});
    for (const auto& px : add)
        if (!moved.count(px)) q.back().pixels.insert(px);
    if (!moved.empty() && q.back().pixels.empty()) q.pop_back();
}

// Random adds, cleans, moves and acknowledgements against the model, block by block.
TEST(DirtyRectangleManager, RandomRunMatchesAPixelModel) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> coord(0, 60), extent(0, 20), shift(-8, 8);
    auto randomRect = [&] { return Rect(coord(rng), coord(rng), extent(rng), extent(rng)); };
    for (int run = 0; run < 300; ++run) {
        DirtyRectangleManager m;
        std::vector<ModelBlock> model;
        for (int step = 0; step < 20; ++step) {
            int op = int(rng() % 10);
            if (op < 6) {
                Rect r = randomRect();
                m.addDirtyRectangle(r);
                modelAdd(model, r);
            } else if (op < 8) {
                Rect r = randomRect();
                m.cleanRectangle(r);
                if (!model.empty() && !model.front().moved) {
                    for (const auto& px : boxPixels(r)) model.front().pixels.erase(px);
                    if (model.front().pixels.empty()) model.erase(model.begin());
                }
            } else if (op == 8) {
                std::vector<Rect> rects = {randomRect(), randomRect()};
                Point delta{double(int(shift(rng))), double(int(shift(rng)))};
                m.addMovedRectangle(rects.data(), delta, rects.size());
                ModelBlock block{true, {}, rects, delta};
                for (const auto& r : rects) {
                    Pixels p = boxPixels(r.offsetBy(delta.x, delta.y));
                    block.pixels.insert(p.begin(), p.end());
                }
                if (!model.empty() && model.back().moved) {
                    block.pixels = model.back().pixels;  // the new block takes over the old one's region
                    model.back().pixels.clear();
                }
                model.push_back(block);
            } else if (!model.empty() && model.front().moved) {
                Rect acked = model.front().rects.front();
                m.ackMovedRectangle(acked);
                model.front().rects.erase(model.front().rects.begin());
                if (model.front().rects.empty()) model.erase(model.begin());
            }

            // The queue hands out each block in order: moved rectangles as queued, updated areas
            // as non-overlapping rectangles covering exactly the owed pixels.
            auto rects = m.newArrayOfDirtyRectangles();
            size_t at = 0;
            Pixels owedTotal;
            for (const auto& block : model) {
                if (block.moved) {
                    for (const auto& r : block.rects) {
                        ASSERT_LT(at, rects.size());
                        ASSERT_EQ(rects[at++], (KLRect{r, true, block.delta}));
                    }
                    continue;
                }
                size_t area = 0;
                Pixels got;
                while (at < rects.size() && !rects[at].moved) {
                    const Rect& k = rects[at++].rect;
                    ASSERT_GT(k.size.width, 0);
                    ASSERT_GT(k.size.height, 0);
                    area += size_t(k.size.width * k.size.height);
                    addBox(got, int(k.origin.x), int(k.origin.y), int(k.maxX()), int(k.maxY()));
                }
                ASSERT_EQ(area, got.size()) << "overlapping rectangles";
                ASSERT_EQ(got, block.pixels);
                owedTotal.insert(block.pixels.begin(), block.pixels.end());
            }
            ASSERT_EQ(at, rects.size());
            ASSERT_EQ(m.rectangleQueue().size(), model.size());
            auto merged = m.newMergedRectExtents();
            ASSERT_EQ(merged ? pixelsOf(merged->newArrayOfRectangles()) : Pixels{}, owedTotal);
        }
    }
}

// The refresh path adds on one thread while the encoder drains on another: what was drained plus
// what is left covers exactly what was added.
TEST(DirtyRectangleManager, ConcurrentAddAndDrain) {
    DirtyRectangleManager m;
    Pixels added, drained;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> coord(0, 120), extent(1, 16);
        for (int i = 0; i < 3000; ++i) {
            Rect r(coord(rng), coord(rng), extent(rng), extent(rng));
            m.addDirtyRectangle(r);
            addBox(added, int(r.origin.x), int(r.origin.y), int(r.maxX()), int(r.maxY()));
        }
        done = true;
    });
    while (!done) {
        for (const auto& k : m.newArrayOfDirtyRectangles()) {
            addBox(drained, int(k.rect.origin.x), int(k.rect.origin.y), int(k.rect.maxX()), int(k.rect.maxY()));
            m.cleanRectangle(k.rect);
        }
    }
    producer.join();
    Pixels left = pixelsOf(m.newArrayOfDirtyRectangles());
    Pixels all = drained;
    all.insert(left.begin(), left.end());
    EXPECT_EQ(all, added);
    EXPECT_FALSE(drained.empty());
}

}  // namespace
}  // namespace kl::test
