#include "screen/KLTDisplaySet.h"

#include "screen/KLTScreen.h"

namespace kl {

Rect KLTDisplaySet::frame() {
    Rect result;
    for (const auto& d : snapshot()) {
        Rect bounds;
        GetCGSScreenBounds(d->displayID(), &bounds);
        result = result.unionWith(bounds);
    }
    return result;
}

uint32_t KLTDisplaySet::displayID() { return mDisplays.empty() ? 0 : (*mDisplays.begin())->displayID(); }

Rect KLTDisplaySet::boundsOfPrimaryDisplay() {
    for (const auto& d : snapshot()) {
        Rect bounds = KLTScreen::scaleCorrectedDisplayBoundsForDisplayID(d->displayID());
        if (bounds.origin.x == 0 && bounds.origin.y == 0) return bounds;
    }
    return Rect();
}

Rect KLTDisplaySet::scaleCorrectedDisplayBounds() {
    // The first display replaces the empty start, so a desktop away from (0, 0) is not stretched
    // to include it.
    Rect result;
    for (const auto& d : snapshot()) {
        Rect bounds = KLTScreen::scaleCorrectedDisplayBoundsForDisplayID(d->displayID());
        result = result.size.width == 0 || result.size.height == 0 ? bounds : result.unionWith(bounds);
    }
    return result;
}

double KLTDisplaySet::cursorScale() { return mDisplays.size() == 1 ? (*mDisplays.begin())->scale() : 1.0; }

std::vector<Rect> KLTDisplaySet::arrayOfScreenBounds() {
    std::vector<Rect> result;
    for (const auto& d : snapshot()) result.push_back(d->scaleCorrectedDisplayBounds());
    return result;
}

uint32_t KLTDisplaySet::framebufferIndex() { return mDisplays.empty() ? 0 : (*mDisplays.begin())->framebufferIndex(); }

void KLTDisplaySet::finalizeSet() {
    Rect s = scaleCorrectedDisplayBounds();
    for (const auto& d : snapshot()) {
        Rect b = d->scaleCorrectedDisplayBounds();
        d->setOurOrigin(b.origin);
        d->setOffsetFromOrigin({b.origin.x - s.origin.x, b.origin.y - s.origin.y});
    }
}

std::shared_ptr<KLTDisplaySet> KLTDisplaySet::forActiveScreens() {
    auto set = std::make_shared<KLTDisplaySet>();
    for (const auto& screen : KLTScreen::screens()) set->displays().insert(std::make_shared<KLTDisplay>(screen->displayID()));
    set->finalizeSet();
    return set;
}

}  // namespace kl
