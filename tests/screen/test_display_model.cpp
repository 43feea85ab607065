// The display model without displays: an empty set answers zeros, displays are members by
// identity, and clearing a display empties all its change tracking at once.
#include <gtest/gtest.h>

#include "screen/KLTDisplaySet.h"

namespace kl {
namespace {

TEST(DisplayModel, EmptySet) {
    KLTDisplaySet set;
    EXPECT_EQ(set.frame(), Rect());
    EXPECT_EQ(set.scaleCorrectedDisplayBounds(), Rect());
    EXPECT_EQ(set.boundsOfPrimaryDisplay(), Rect());
    EXPECT_EQ(set.displayID(), 0u);
    EXPECT_EQ(set.framebufferIndex(), 0u);
    EXPECT_EQ(set.cursorScale(), 1.0);
    EXPECT_EQ(set.scale(), 1.0);
    EXPECT_TRUE(set.arrayOfScreenBounds().empty());
    EXPECT_EQ(set.userDescription(), "MultiScreen");
}

TEST(DisplayModel, DisplaysAreMembersByIdentityAndClearTogether) {
    KLTDisplaySet set;
    auto a = std::make_shared<KLTDisplay>(7), b = std::make_shared<KLTDisplay>(7);
    EXPECT_EQ(a->hash(), b->hash());
    set.displays().insert(a);
    set.displays().insert(b);
    EXPECT_EQ(set.displays().size(), 2u);

    a->addDirtyRectangle(Rect(0, 0, 10, 10));
    a->lossyRects()->addRectangle(Rect(0, 0, 4, 4));
    a->updateHeatMap().push_back(std::make_shared<UpdatedRectangles>());
    auto oldLossy = a->lossyRects();
    a->clearRectangles();
    EXPECT_TRUE(a->rectManager()->rectangleQueue().empty());
    EXPECT_TRUE(a->updateHeatMap().empty());
    EXPECT_NE(a->lossyRects(), oldLossy);
    EXPECT_EQ(a->lossyRects()->count(), 0u);
}

}  // namespace
}  // namespace kl
