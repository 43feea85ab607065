// How many connections a listener keeps at once: kMaxListenerConnections in all, and
// kMaxConnectionsPerUser per peer uid, from which root and members of the administrators' groups
// ("sudo", "wheel", "admin") are exempt. A local user who opens connections by the thousand gets
// refusals, not the listener's descriptors and memory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

#include "foundation/ipc/IPCEndpoint.h"

namespace kl::ipc {

// Well above the daemon's 128 broadcast slots: a control app past them is still served.
inline constexpr size_t kMaxListenerConnections = 512;
inline constexpr size_t kMaxConnectionsPerUser = 16;

// Root, or a member (primary or supplementary) of one of the administrators' groups.
bool isAdministrator(uid_t uid);

class IPCConnectionLimits : public std::enable_shared_from_this<IPCConnectionLimits> {
public:
    IPCConnectionLimits(size_t total = kMaxListenerConnections, size_t perUser = kMaxConnectionsPerUser)
        : total_(total), perUser_(perUser) {}

    // A slot the connection holds for as long as it is open (dropping it frees the slot), or null
    // when the peer is over a limit. label names the listener in the log line of a refusal.
    std::shared_ptr<void> admit(const PeerCredentials& peer, const char* label);

private:
    void release(uid_t uid);

    const size_t total_;
    const size_t perUser_;
    std::mutex mutex_;
    size_t open_ = 0;
    std::map<uid_t, size_t> openByUser_;
    size_t refusedSinceLog_ = 0;
    std::chrono::steady_clock::time_point lastLog_{};
};

}  // namespace kl::ipc
