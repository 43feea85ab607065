// TunnexPingTimers: the scheduled pings and ping time-outs of one peer, kept so that they can be
// cancelled together (a recycle, a closed ping socket, the peer's end). Any thread; its own plain
// lock guards the handles and is held only around them.
#pragma once

#include <mutex>
#include <vector>

#include "platform/Executors.h"

namespace kl {

class TunnexPingTimers {
public:
    TunnexPingTimers() = default;
    TunnexPingTimers(const TunnexPingTimers&) = delete;
    TunnexPingTimers& operator=(const TunnexPingTimers&) = delete;
    ~TunnexPingTimers() { cancelAll(); }

    // Keeps a newly armed handle; handles already cancelled are let go on the way.
    void addPing(CancelHandle handle) { add(pings_, std::move(handle)); }
    void addTimeOut(CancelHandle handle) { add(timeOuts_, std::move(handle)); }
    void cancelAll();

private:
    void add(std::vector<CancelHandle>& handles, CancelHandle handle);

    std::mutex mutex_;
    std::vector<CancelHandle> pings_;     // guarded by mutex_
    std::vector<CancelHandle> timeOuts_;  // guarded by mutex_
};

}  // namespace kl
