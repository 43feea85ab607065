#include "screen/rtp/KLTNimTheoraEncoder.h"

#include <thread>

namespace kl {

void KLTNimTheoraEncoder::waitForNextFrame() {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / drivenFramerate()));
    const auto due = mLastFrameSent + period;
    if (std::chrono::steady_clock::now() < due) std::this_thread::sleep_until(due);
    mLastFrameSent = std::chrono::steady_clock::now();
}

}  // namespace kl
