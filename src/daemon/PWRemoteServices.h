// PWRemoteServices: the account client's set of remote service records. Each host list goes
// through the reconciliation core; every record is registered with the tunnel manager, this
// machine is signed out when the core says it has left the account, the new set replaces the old
// one, and a change is announced on a later turn of the main loop, after the set already holds
// the new records.
//
// Threads: lists arrive on the main loop; the set is read from any thread (the control apps'
// host list, the tunnel's queues) under its own lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "daemon/PWRegistrar.h"
#include "daemon/model/PWRemoteHostReconciler.h"

namespace kl {

class PWRemoteServices : public PWHostListReconciler, public std::enable_shared_from_this<PWRemoteServices> {
public:
    struct Options {
        // This machine's identifier; KLDevice's when empty.
        std::function<std::optional<std::string>()> machineID;
        std::function<Clock::time_point()> clock;
        // Hands each record to the tunnel; the tunnel manager's registry when empty.
        std::function<void(const std::shared_ptr<KLTNetService>&)> registerWithTunnel;
        MainLoop* loop = nullptr;  // where changes are announced; the process's loop when empty
    };
    static std::shared_ptr<PWRemoteServices> create(Options options);
    static std::shared_ptr<PWRemoteServices> create() { return create(Options{}); }

    // The client whose sign-out and PWRegistrarDidUpdateRemotesNotification this set drives.
    void setAccountClient(std::weak_ptr<PWAccountClient> client) { client_ = std::move(client); }

    // PWHostListReconciler.
    void updateRemoteServicesFromServer(const Array& hosts) override;
    std::vector<PWRemoteServiceRecord> remoteServiceRecords() const override;
    void removeAllRemoteServices() override;

    KLTNetServiceSet remoteServices() const;
    void setRemoteServices(KLTNetServiceSet services);

    // The added, removed and existing records of the last announced change, for followers of
    // PWRegistrarDidUpdateRemotesNotification.
    PWRemoteHostUpdate lastUpdate() const;

private:
    explicit PWRemoteServices(Options options);

    Options options_;
    std::weak_ptr<PWAccountClient> client_;
    PWRemoteHostReconciler core_;  // main loop only
    mutable std::mutex lock_;      // remoteServices_ and lastUpdate_
    KLTNetServiceSet remoteServices_;
    PWRemoteHostUpdate lastUpdate_;
};

// The host-list form of a record: the keys a control app shows.
PWRemoteServiceRecord remoteServiceRecordFrom(const KLTNetService& service);

}  // namespace kl
