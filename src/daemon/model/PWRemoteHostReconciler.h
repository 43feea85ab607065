// Turns each host list of the account server into service records of the domain "remote." and
// works out what changed against the previous records. It does no I/O: the account client feeds
// it the list, its current records, this machine's identifier and the time, then registers the
// records with the tunnel, signs out when told to, stores the new set and posts the change.
//
// What it remembers lives as long as the process, across sign-outs: the last availability of
// every host ever listed, and the grace before this machine, missing from the list, is signed out
// (60 seconds after the first list the process received).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon/model/KLTNetService.h"
#include "daemon/model/PWHostRecord.h"
#include "platform/Executors.h"

namespace kl {

inline constexpr const char* kPWRemoteServiceDomain = "remote.";
inline constexpr auto kPWOwnHostGracePeriod = std::chrono::seconds(60);

// Records by identity (service key): a set in which two records of the same identity are one.
using KLTNetServiceSet = std::map<std::string, std::shared_ptr<KLTNetService>>;

struct PWRemoteHostUpdate {
    // Every record built from the list, in list order; each one is registered with the tunnel.
    std::vector<std::shared_ptr<KLTNetService>> records;
    KLTNetServiceSet current;
    KLTNetServiceSet added;
    KLTNetServiceSet removed;
    KLTNetServiceSet existing;
    // The last record of each host, by host uuid.
    std::map<std::string, std::shared_ptr<KLTNetService>> servicesByUUID;
    // Something changed: post the update.
    bool needsUpdate = false;
    // This machine has left the account: sign out first. added/removed/existing were then
    // computed against an empty previous set, as sign-out empties it.
    bool signOut = false;
};

// A record of the host for one service type, its status from the record's own "status" text.
std::shared_ptr<KLTNetService> createServiceFromHostRecord(const PWHostRecord& host, const std::string& type);

class PWRemoteHostReconciler {
public:
    // hostRecords: the server's array; anything else is logged and changes nothing.
    // ownMachineID: nothing when this machine's identity cannot be formed; it is then never
    // signed out, since its absence from the list proves nothing.
    PWRemoteHostUpdate reconcile(const Value& hostRecords, const KLTNetServiceSet& previous,
                                 const std::optional<std::string>& ownMachineID, Clock::time_point now);

    // Host uuid -> availability in the last list that named it.
    const std::map<std::string, bool>& availabilityNumbersByUUID() const { return availabilityByUUID_; }
    bool beenAcknowledged() const { return beenAcknowledged_; }

private:
    std::map<std::string, bool> availabilityByUUID_;
    bool beenAcknowledged_ = false;
    std::optional<Clock::time_point> deletableDate_;
};

}  // namespace kl
