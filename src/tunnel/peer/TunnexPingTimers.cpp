#include "tunnel/peer/TunnexPingTimers.h"

#include <vector>

namespace kl {

void TunnexPingTimers::cancelAll() {
    std::lock_guard lock(mutex_);
    for (auto& handle : pings_) handle.cancel();
    for (auto& handle : timeOuts_) handle.cancel();
    pings_.clear();
    timeOuts_.clear();
}

void TunnexPingTimers::add(std::vector<CancelHandle>& handles, CancelHandle handle) {
    std::lock_guard lock(mutex_);
    std::erase_if(handles, [](const CancelHandle& h) { return h.cancelled(); });
    handles.push_back(std::move(handle));
}

}  // namespace kl
