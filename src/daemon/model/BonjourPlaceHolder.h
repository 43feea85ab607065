// The process-wide table of per-service flags, keyed by service key. A record is rebuilt from every
// host list, so its connection flag lives here, where the next record of the same service finds it.
// Entries are made on first access and never removed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace kl {

class BonjourPlaceHolder {
public:
    // The placeholder of the key, made on first access; the table owns it for the process's life.
    static std::shared_ptr<BonjourPlaceHolder> placeHolderForKey(const std::string& serviceKey);

    int32_t hostStatus() const { return hostStatus_.load(); }
    void setHostStatus(int32_t status) { hostStatus_.store(status); }
    bool connected() const { return connected_.load(); }
    void setConnected(bool connected) { connected_.store(connected); }

private:
    // Records on tunnel threads and on the main loop read and set these.
    std::atomic<int32_t> hostStatus_{0};
    std::atomic<bool> connected_{false};
};

}  // namespace kl
