// PWServicesManager: which services this machine offers (a scan every 7 seconds on the main loop,
// announcing records that appeared or went), and the account's host items with the archive of
// per-host settings, which the control app shows.
//
// The host-item archive is "archive.kltHostItemArchive" in the program's support folder: a binary
// property list holding an array of KLTHostItemArchive dictionaries.
//
// Threads: the scan and its signals run on the main loop. Host items, the archive dictionary and
// the available services are guarded by one re-entrant lock; the "hostItems" change signals are
// emitted outside it. The state of each item is guarded by the item itself (KLTHostItem.h): the
// IPC queue changes it (updateStatus, registerHostItemWithPWDictionary) while rows read it.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "daemon/model/KLTHostItem.h"
#include "daemon/model/PWRunningService.h"
#include "platform/Executors.h"
#include "platform/Signal.h"

namespace kl {

inline constexpr auto kPWServicesScanInterval = std::chrono::seconds(7);
inline constexpr const char* kPWHostItemArchiveFileName = "archive.kltHostItemArchive";

class PWServicesManager : public std::enable_shared_from_this<PWServicesManager> {
public:
    struct Options {
        std::filesystem::path procRoot = "/proc";
        // Default: hostItemArchivePath().
        std::optional<std::filesystem::path> archivePath;
        // This machine's identifier, whose host records are not listed; default: KLDevice's.
        std::optional<std::string> machineID;
    };

    // The process's manager, made on first use (loading the archive) and never destroyed.
    static std::shared_ptr<PWServicesManager> sharedManager();
    // A manager of its own (tests, tools); loads the archive.
    static std::shared_ptr<PWServicesManager> create(Options options);
    // <program support folder>/archive.kltHostItemArchive; nothing while the program is unnamed.
    static std::optional<std::filesystem::path> hostItemArchivePath();

    ~PWServicesManager();

    // Scans every kPWServicesScanInterval on the loop, the first scan one interval from now.
    // Call on the loop's thread; a second call while reporting changes nothing.
    void beginReportingServicesAvailability(MainLoop& loop = mainLoop());
    void endReportingServicesAvailability();
    bool isReporting() const;

    void servicesUpdateTimerFired();
    std::vector<PWRunningService> runningServices() const;
    // Stores the list and announces additions, then removals.
    void updateReportingServices(std::vector<PWRunningService> services);
    std::vector<PWRunningService> availableServices() const;
    // The DNS-SD types of every available record, each once, in byte order: what the account
    // client registers this host with.
    std::vector<std::string> offeredServiceNames() const;

    Signal<const std::vector<PWRunningService>&> addedServices;
    Signal<const std::vector<PWRunningService>&> removedServices;

    // Host items.
    std::vector<std::shared_ptr<KLTHostItem>> hostItems() const;
    void registerHostItemWithPWDictionary(const Value& record);
    void addHostItem(const std::shared_ptr<KLTHostItem>& item);
    void removeAllHostItems();
    std::optional<size_t> indexOfHostItemWithUUID(const std::string& uuid) const;
    std::shared_ptr<KLTHostItem> hostItemForUUID(const std::string& uuid) const;
    std::optional<std::string> hostNameForUUID(const std::string& uuid) const;
    // Tunnel state 0-5 of a host; tells the user when a connection is made, fails or ends.
    void updateStatus(int32_t state, const std::string& uuid);
    void didSignIn() {}
    void didSignOut() { removeAllHostItems(); }
    // Only "sshUsername" matters: the edited host's state is archived.
    void didChangeItem(const std::shared_ptr<KLTHostItem>& item, const std::string& keyPath);

    Signal<> hostItemsWillChange;
    Signal<> hostItemsDidChange;

    // Archive.
    void archiveHostItems();
    void unarchiveHostItems();
    std::optional<KLTHostItemArchive> hostItemArchiveForHostItem(const KLTHostItem& item) const;
    std::optional<KLTHostItemArchive> hostItemArchiveForUUID(const std::string& uuid) const;
    void impartArchiveStateOnHostItem(KLTHostItem& item) const;
    void archiveHostItem(const KLTHostItem& item);
    void addHostItemArchive(const KLTHostItemArchive& archive);

private:
    explicit PWServicesManager(Options options);
    std::optional<std::string> machineID() const;

    const Options options_;
    mutable std::recursive_mutex mutex_;
    std::vector<PWRunningService> availableServices_;
    std::vector<std::shared_ptr<KLTHostItem>> hostItems_;
    std::map<std::string, KLTHostItemArchive> hostItemArchiveDictionary_;
    CancelHandle updateTimer_;
};

}  // namespace kl
