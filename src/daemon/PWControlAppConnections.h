// The table of registered control-app connections that every daemon message is broadcast to.
//
// 128 slots filled in connection order, plus the count of live connections (those accepted and not
// yet reported invalid, including ones that found the table full). The main loop adds and removes
// entries; the tunnel-state relay broadcasts from a pool thread, so the table is locked, holds a
// reference on each entry, and a broadcast sends to a retained copy of the entries so that none can
// vanish while it is being sent to.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "foundation/ipc/klipc.h"

namespace kl {

class PWControlAppConnectionTable {
public:
    static constexpr uint32_t kCapacity = 128;

    PWControlAppConnectionTable() = default;
    ~PWControlAppConnectionTable();
    PWControlAppConnectionTable(const PWControlAppConnectionTable&) = delete;
    PWControlAppConnectionTable& operator=(const PWControlAppConnectionTable&) = delete;

    // A new connection: registered in the next slot while there is room; counted live in any case.
    // true when it was registered.
    bool connectionAccepted(klipc_connection_t connection);
    // The connection's invalid event: removes its first entry (keeping the others' order) and lowers
    // the live count unless it is 0. The new live count, or nothing when it was already 0.
    std::optional<uint32_t> connectionInvalidated(klipc_connection_t connection);

    // Sends message (without a reply) to every registered connection but except (which may be
    // NULL). Safe from any thread.
    void broadcast(klipc_object_t message, klipc_connection_t except);

    uint32_t fillCount() const;
    uint32_t liveCount() const;
    bool isRegistered(klipc_connection_t connection) const;

private:
    mutable std::mutex mutex_;
    std::array<klipc_connection_t, kCapacity> slots_{};
    uint32_t fillCount_ = 0;  // sControlAppConnectionCount
    uint32_t liveCount_ = 0;  // sConnectionCount
};

// The daemon's one table, created on first use and never destroyed.
PWControlAppConnectionTable& controlAppConnections();

// Broadcasts message to the daemon's registered control apps, skipping except (may be NULL).
void SendMessageToControlApps(klipc_object_t message, klipc_connection_t except);

}  // namespace kl
