// KLTNimTheoraEncoder: an encoder that encodes nothing and only paces frames at 30 a second.
#pragma once

#include <chrono>
#include <cstdint>

#include "screen/KLTBaseNimEncoder.h"

namespace kl {

class KLTNimTheoraEncoder : public KLTBaseNimEncoder {
public:
    using KLTBaseNimEncoder::encodeFrame;
    void encodeFrame(int, bool, const std::shared_ptr<KLTDisplay>&, uint32_t) override {}
    bool drivesFrameClock() override { return true; }
    int drivenFramerate() override { return 30; }
    // Sleeps what is left of 1/drivenFramerate seconds since the last frame (nothing when that has
    // passed), then counts now as the last frame's time.
    void waitForNextFrame() override;

    std::chrono::steady_clock::time_point lastFrameSent() const { return mLastFrameSent; }

private:
    std::chrono::steady_clock::time_point mLastFrameSent{};
};

}  // namespace kl
