// A host of the user's account as the host list shows it, built from the per-service host records
// of the daemon's host-list reply ("status" an integer there) and merged across the records of one
// host. Display names and images of models belong to the control app; the item only says which
// state suffix its image takes.
//
// Threads: the names, identifiers, service rows and nested rows are set while the item is built
// and never change, so any thread reads them freely. The state that changes later (tunnel state,
// availability, image suffix, service types, SSH user name) is guarded by the item's own lock:
// the IPC queue writes it while the main loop draws it. Getters of that state return copies, and
// change signals are emitted after the lock is released, so observers may read the item again.
// Observers connect to didChangeValueForKey, which names the field that was set.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "daemon/model/KLTHostItemArchive.h"
#include "platform/Signal.h"
#include "platform/Value.h"

namespace kl {

class KLTHostItem;

// The child row of a host item, which carries the editable SSH user name.
class KLTNestedHostItem {
public:
    std::shared_ptr<KLTHostItem> parentHostItem() const { return parent_.lock(); }
    void setParentHostItem(const std::shared_ptr<KLTHostItem>& parent) { parent_ = parent; }

    std::optional<std::string> sshUsername() const;
    // The user edited the row: store, hand the name to the parent and tell observers
    // ("sshUsername"), which archive it.
    void setSshUsername(std::optional<std::string> name);
    // Only stores: the parent's setter uses it so the two never call each other back.
    void stackSafeSetSshUsername(std::optional<std::string> name);

    Signal<const std::string&> didChangeValueForKey;

private:
    std::weak_ptr<KLTHostItem> parent_;
    mutable std::mutex mutex_;
    std::optional<std::string> sshUsername_;  // guarded by mutex_
};

struct KLTServiceItem {
    std::string title;  // the service type
    std::string action = "Connect";
    bool active = false;
    bool operator==(const KLTServiceItem&) const = default;
};

class KLTHostItem : public std::enable_shared_from_this<KLTHostItem> {
public:
    // The display state read in one go, so a row never sees half of a tunnel change.
    struct DisplayState {
        int32_t connectionStatus = 0;
        bool connecting = false, connected = false, available = false;
        std::string modelImageSuffix;
    };

    // Nothing for a value that is not a dictionary.
    static std::shared_ptr<KLTHostItem> hostItemWithPWDictionary(const Value& record);
    // The "service_names" text split at ","; nothing for a non-dictionary or a missing text.
    static std::optional<std::vector<std::string>> serviceTypesFromPWDictionary(const Value& record);

    // Adds the record's service types (not its rows) and takes its availability and tunnel state.
    void updateWithPWDictionary(const Value& record);
    // A new item with the names, model and uuid; the rest starts empty.
    std::shared_ptr<KLTHostItem> copy() const;
    KLTHostItemArchive hostItemArchive() const;

    // Tunnel status 0-5: 1-4 connecting, 5 connected; either makes the host available, which is
    // announced when it changes.
    void setConnectionStatus(int32_t status);
    void setAvailable(bool available);
    void setSshUsername(std::optional<std::string> name);
    void stackSafeSetSshUsername(std::optional<std::string> name);
    // "_connected", "_available" or "_offline", from the tunnel state and availability.
    void resetModelImage();

    const std::optional<std::string>& hostName() const { return hostName_; }
    const std::optional<std::string>& nickname() const { return nickname_; }
    const std::optional<std::string>& modelString() const { return modelString_; }
    const std::optional<std::string>& hostUUID() const { return hostUUID_; }
    const std::optional<std::string>& hostID() const { return hostID_; }
    const std::vector<KLTServiceItem>& serviceItems() const { return serviceItems_; }
    const std::vector<std::shared_ptr<KLTNestedHostItem>>& nestedSelves() const { return nestedSelves_; }

    DisplayState displayState() const;
    std::string modelImageSuffix() const;
    std::set<std::string> serviceTypes() const;
    std::optional<std::string> sshUsername() const;
    int32_t connectionStatus() const;
    bool connecting() const;
    bool connected() const;
    bool available() const;

    Signal<const std::string&> didChangeValueForKey;

private:
    void resetModelImageLocked();

    // Set while the item is built, constant after.
    std::optional<std::string> hostName_, nickname_, modelString_, hostUUID_, hostID_;
    std::vector<KLTServiceItem> serviceItems_;
    std::vector<std::shared_ptr<KLTNestedHostItem>> nestedSelves_;

    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::set<std::string> serviceTypes_;
    std::optional<std::string> sshUsername_;
    DisplayState state_;
};

}  // namespace kl
