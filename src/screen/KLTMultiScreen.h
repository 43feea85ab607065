// The whole desktop answering as one screen: the older form of the display set.
#pragma once

#include <vector>

#include "screen/KLTScreen.h"

namespace kl {

class KLTMultiScreen : public KLTScreen {
public:
    KLTMultiScreen();

    Rect frame() override;
    std::string userDescription() override { return "MultiScreen"; }
    uint32_t displayID() override { return mScreens.empty() ? 0 : mScreens.front(); }
    Rect scaleCorrectedDisplayBounds() override;
    void setDisplayMode(int) override {}
    double scale() override { return 1.0; }
    Size displaySizeInPixels() override { return scaleCorrectedDisplayBounds().size; }
    std::vector<Rect> arrayOfScreenBounds() override;

    const std::vector<uint32_t>& screens() const { return mScreens; }
    void setScreens(std::vector<uint32_t> s) { mScreens = std::move(s); }

private:
    std::vector<uint32_t> mScreens;
};

}  // namespace kl
