#include "screen/KLTMultiScreen.h"

namespace kl {

KLTMultiScreen::KLTMultiScreen() {
    for (const auto& screen : KLTScreen::screens()) mScreens.push_back(screen->displayID());
}

Rect KLTMultiScreen::frame() {
    Rect result;
    for (uint32_t id : mScreens) {
        Rect bounds;
        GetCGSScreenBounds(id, &bounds);
        result = result.unionWith(bounds);
    }
    return result;
}

Rect KLTMultiScreen::scaleCorrectedDisplayBounds() {
    Rect result;
    for (uint32_t id : mScreens) result = result.unionWith(scaleCorrectedDisplayBoundsForDisplayID(id));
    return result;
}

std::vector<Rect> KLTMultiScreen::arrayOfScreenBounds() {
    std::vector<Rect> result;
    for (uint32_t id : mScreens) result.push_back(scaleCorrectedDisplayBoundsForDisplayID(id));
    return result;
}

}  // namespace kl
