// The tunnel's record of one remote machine of the account: who it is, where it can be reached,
// the services the tunnel can reach on it, the UDP socket its tunnel runs on, and a serial queue
// of its own on which the work of opening data channels to it is serialised.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Executors.h"
#include "platform/Value.h"
#include "tunnel/protocol/TunnexAddress.h"
#include "tunnel/TunnexClock.h"
#include "tunnel/manager/TunnexServiceRecord.h"

namespace kl {

class KLNetSocket;

// Shared by the manager, the peers and their queues; every field is guarded, and merging one
// record into another never holds both records' locks at once.
class TunnexRemotePeer {
public:
    using ServiceMap = std::map<std::string, std::shared_ptr<TunnexServiceRecord>>;

    // A connection start this recent is not repeated.
    static constexpr double kRecentStartSeconds = 90.0;

    explicit TunnexRemotePeer(TunnexClock clock = tunnexSystemClock());
    TunnexRemotePeer(const TunnexRemotePeer&) = delete;
    TunnexRemotePeer& operator=(const TunnexRemotePeer&) = delete;

    // Forgets that the advertised address is usable.
    void resetState();

    // Snapshots of the services (in key order), the service map and the known addresses.
    std::vector<std::shared_ptr<TunnexServiceRecord>> availableServices() const;
    ServiceMap serviceDictionary() const;
    std::vector<TunnexAddress> knownAddresses() const;

    // Adds a known address unless one with the same IPv4 address and port is already listed (the
    // listed one keeps its flag). Returns whether it was added.
    bool addKnownAddressWithAddress(const sockaddr_storage& address, uint16_t port, bool externalAddress);
    // Appends without a duplicate test.
    void addKnownAddressWithAddress(const TunnexAddress& address);

    // Rewrites the service's uuid to this record's UUID when they differ (with an error line).
    void synchronizeUuidOfService(const std::shared_ptr<TunnexServiceRecord>& service) const;
    // Stores the service under its key, replacing any stored there; an empty argument does nothing.
    void addService(const std::shared_ptr<TunnexServiceRecord>& service);
    bool containsServiceWithKey(const std::string& key) const;

    // Marks a connection start now; recentStartAttempt() is true for 90 seconds after it (and
    // after creation).
    void remoteStartInitiated();
    bool recentStartAttempt() const;

    // Merges a newer record about the same machine into this one: the name when this has none,
    // then the address, the known addresses and the services. A null argument changes nothing.
    void synchronizeWithPeer(const TunnexRemotePeer* other);
    void synchronizeAddressWithPeer(const TunnexRemotePeer* other);
    void synchronizeAddressesWithPeer(const TunnexRemotePeer* other);
    void synchronizeServicesWithPeer(const TunnexRemotePeer* other);

    // The record's serial queue, made on the first call and labelled "<bundle id>_<UUID>".
    std::shared_ptr<SerialQueue> tunnelQueue();

    // The advertised IPv4 socket address (network order inside) and its port (host order).
    sockaddr_storage address() const;
    void setAddress(sockaddr_storage address);
    uint16_t port() const;
    void setPort(uint16_t port);
    bool hasPeerAddress() const;
    void setHasPeerAddress(bool value);
    // The hole-punched UDP socket the tunnel runs on.
    std::shared_ptr<KLNetSocket> tunnelSocket() const;
    void setTunnelSocket(std::shared_ptr<KLNetSocket> socket);
    sockaddr_storage proxyAddress() const;
    void setProxyAddress(sockaddr_storage address);
    uint16_t proxyPort() const;
    void setProxyPort(uint16_t port);
    bool hasProxyAddress() const;
    void setHasProxyAddress(bool value);
    uint64_t activeForwards() const;
    void setActiveForwards(uint64_t count);
    std::string UDID() const;
    void setUDID(std::string udid);
    // The machine UUID: the record's key in the manager and its services' host UUID.
    std::string UUID() const;
    void setUUID(std::string uuid);
    // The account server's identifier of the host; a connection is not started without it.
    std::string serverID() const;
    void setServerID(std::string serverID);
    std::string name() const;
    void setName(std::string name);
    Date lastRemoteInitiationDate() const;
    void setLastRemoteInitiationDate(Date date);
    // The transaction of the hole punch under way toward this remote (0 before the first).
    int64_t attemptTransactionId() const { return attemptTransactionId_.load(); }
    void setAttemptTransactionId(int64_t id) { attemptTransactionId_.store(id); }

private:
    TunnexClock clock_;

    mutable std::mutex stateMutex_;  // the scalar, text and socket fields
    sockaddr_storage address_;
    uint16_t port_ = 0;
    bool hasPeerAddress_ = false;
    std::shared_ptr<KLNetSocket> tunnelSocket_;
    sockaddr_storage proxyAddress_;
    uint16_t proxyPort_ = 0;
    uint64_t activeForwards_ = 0;
    bool hasProxyAddress_ = false;
    std::string udid_;
    std::string uuid_;
    std::string serverID_;
    std::string name_;
    Date lastRemoteInitiationDate_;
    std::atomic<int64_t> attemptTransactionId_{0};

    mutable std::mutex addressesMutex_;  // the duplicate test and the append are one step under it
    std::vector<TunnexAddress> knownAddresses_;

    mutable std::mutex servicesMutex_;
    ServiceMap services_;

    std::once_flag queueOnce_;
    std::shared_ptr<SerialQueue> tunnelQueue_;
};

}  // namespace kl
