// TunnexDatagramForwardTable: the datagram forwards of one tunnel and their sockets. The socket of
// each forward by the key text of its hash, the destination port of each sending side's forward
// under the same key, and the hashes of listening forwards that take datagrams from this machine
// only; the making of both kinds of socket and the last leg of a delivered datagram. Any thread;
// its own plain lock guards the maps and is held only around their reads and writes (sockets are
// made, closed and sent on outside it).
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "foundation/KLNetSocket.h"
#include "platform/Value.h"
#include "tunnel/TunnexResult.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"

namespace kl {

class TunnexDatagramForwardTable {
public:
    using Sockets = std::map<std::string, std::shared_ptr<KLNetSocket>>;
    struct Destination {
        std::shared_ptr<KLNetSocket> socket;
        uint16_t port = 0;
    };

    // Enters a forward's socket (and, for a sending socket, its destination port) under key unless
    // the key is taken or the table has been closed.
    TunnexResult<void> enter(const std::string& key, const std::shared_ptr<KLNetSocket>& socket,
                             std::optional<uint16_t> destinationPort);
    // Forgets the forward under key; its socket, if any, is the caller's to close.
    std::shared_ptr<KLNetSocket> remove(const std::string& key);
    void removeAndClose(const std::string& key);
    // Refuses every later entry and hands over all sockets (the tunnel's teardown).
    Sockets close();
    static void closeSockets(const Sockets& sockets);

    // The listening side in steps, so a request of the remote can wait for the bind on a timer:
    // the socket entered and listening for delegate (an error when refused); whether its loop is
    // still binding; and the outcome, a forward that could not bind removed.
    TunnexResult<std::shared_ptr<KLNetSocket>> startListener(const TunnexRemoteUDPForwardRequest& forward,
                                                             std::weak_ptr<KLNetSocketDelegate> delegate);
    static bool bindPending(const KLNetSocket& socket, std::chrono::steady_clock::time_point deadline);
    TunnexResult<void> listenerBound(const TunnexRemoteUDPForwardRequest& forward, const KLNetSocket& socket);
    // The sending side in steps, so the lookup can run on the resolver's thread: the forward's
    // host resolved (nothing, logged, when it does not), then the socket toward it entered.
    static std::optional<sockaddr_storage> resolve(const TunnexForwardRequest& forward);
    TunnexResult<void> openSendingSide(const TunnexForwardRequest& forward, const sockaddr_storage& address);
    // Sends a delivered (decrypted) datagram on to the destination of the forward of hash; one
    // with no such forward, or too large for one UDP datagram, is dropped and logged.
    void deliver(uint32_t hash, const Bytes& payload);

    void markLoopbackOnly(uint32_t hash);
    bool loopbackOnly(uint32_t hash) const;
    size_t size() const;

    // Runs relay holding the relay order: a forwarded datagram is encrypted and sent in one turn,
    // so the outbound stream runs over the datagrams in the order they leave, whichever forward's
    // thread relays them.
    template <class Relay>
    void relayInOrder(Relay&& relay) {
        std::lock_guard turn(relayMutex_);
        relay();
    }

private:
    // The sending side's socket and port under key; empty unless both are entered.
    std::optional<Destination> destination(const std::string& key) const;

    mutable std::mutex mutex_;
    Sockets sockets_;                        // guarded by mutex_
    std::map<std::string, uint16_t> ports_;  // guarded by mutex_
    std::set<uint32_t> loopbackOnly_;        // guarded by mutex_
    bool closed_ = false;                    // guarded by mutex_
    std::mutex relayMutex_;                  // taken before mutex_, never inside it
};

}  // namespace kl
