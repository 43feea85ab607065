#include "daemon/model/PWServicesManager.h"

#include <set>

#include "daemon/model/PWServicesScan.h"
#include "foundation/KLDevice.h"
#include "foundation/KLTButler.h"
#include "foundation/KLTLogging.h"
#include "foundation/KLTUserNotificationManager.h"

namespace kl {

namespace {

// Records of `from` that have no equal in `in`, in order.
std::vector<PWRunningService> missingFrom(const std::vector<PWRunningService>& from,
                                          const std::vector<PWRunningService>& in) {
    std::vector<PWRunningService> result;
    for (const auto& service : from) {
        bool found = false;
        for (const auto& other : in) {
            if (service.isEqualToService(other)) {
                found = true;
                break;
            }
        }
        if (!found) result.push_back(service);
    }
    return result;
}

}  // namespace

std::shared_ptr<PWServicesManager> PWServicesManager::sharedManager() {
    static auto* manager = new std::shared_ptr<PWServicesManager>(create({}));
    return *manager;
}

std::shared_ptr<PWServicesManager> PWServicesManager::create(Options options) {
    std::shared_ptr<PWServicesManager> manager(new PWServicesManager(std::move(options)));
    manager->unarchiveHostItems();
    return manager;
}

std::optional<std::filesystem::path> PWServicesManager::hostItemArchivePath() {
    auto support = KLTButler::currentBundleSupportDirectory();
    if (!support) return std::nullopt;
    return *support / kPWHostItemArchiveFileName;
}

PWServicesManager::PWServicesManager(Options options) : options_(std::move(options)) {}

PWServicesManager::~PWServicesManager() { endReportingServicesAvailability(); }

std::optional<std::string> PWServicesManager::machineID() const {
    return options_.machineID ? options_.machineID : KLDevice::machineUniqueID();
}

void PWServicesManager::beginReportingServicesAvailability(MainLoop& loop) {
    std::lock_guard lock(mutex_);
    if (updateTimer_.valid() && !updateTimer_.cancelled()) return;
    std::weak_ptr<PWServicesManager> weak = weak_from_this();
    updateTimer_ = loop.every(kPWServicesScanInterval, [weak] {
        if (auto self = weak.lock()) self->servicesUpdateTimerFired();
    });
}

void PWServicesManager::endReportingServicesAvailability() {
    std::lock_guard lock(mutex_);
    updateTimer_.cancel();
    updateTimer_ = {};
}

bool PWServicesManager::isReporting() const {
    std::lock_guard lock(mutex_);
    return updateTimer_.valid() && !updateTimer_.cancelled();
}

void PWServicesManager::servicesUpdateTimerFired() { updateReportingServices(runningServices()); }

std::vector<PWRunningService> PWServicesManager::runningServices() const {
    return scanRunningServices(options_.procRoot);
}

void PWServicesManager::updateReportingServices(std::vector<PWRunningService> services) {
    std::vector<PWRunningService> added, removed;
    {
        std::lock_guard lock(mutex_);
        removed = missingFrom(availableServices_, services);
        added = missingFrom(services, availableServices_);
        availableServices_ = std::move(services);
    }
    if (!added.empty()) addedServices.emit(added);
    if (!removed.empty()) removedServices.emit(removed);
}

std::vector<PWRunningService> PWServicesManager::availableServices() const {
    std::lock_guard lock(mutex_);
    return availableServices_;
}

std::vector<std::string> PWServicesManager::offeredServiceNames() const {
    std::set<std::string> names;
    {
        std::lock_guard lock(mutex_);
        for (const auto& service : availableServices_)
            names.insert(service.serviceNames.begin(), service.serviceNames.end());
    }
    return {names.begin(), names.end()};
}

std::vector<std::shared_ptr<KLTHostItem>> PWServicesManager::hostItems() const {
    std::lock_guard lock(mutex_);
    return hostItems_;
}

void PWServicesManager::registerHostItemWithPWDictionary(const Value& record) {
    const Value* uuidValue = record.get("uuid");
    const std::string* uuid = uuidValue ? uuidValue->asString() : nullptr;
    if (!uuid) {
        KLLog(kKLTLoggingLevelError, "Can't register host item without uuid");
        return;
    }
    if (*uuid == machineID()) return;
    if (auto item = hostItemForUUID(*uuid)) {
        item->updateWithPWDictionary(record);
        return;
    }
    auto item = KLTHostItem::hostItemWithPWDictionary(record);
    if (!item) {
        KLLog(kKLTLoggingLevelError, "Could not create host item from PWDictionary");
        return;
    }
    addHostItem(item);
}

void PWServicesManager::addHostItem(const std::shared_ptr<KLTHostItem>& item) {
    if (!item) return;
    // All set up before the item is listed: a row built for it at once shows the archived user
    // name, and an edit made there is archived.
    std::weak_ptr<PWServicesManager> weakSelf = weak_from_this();
    std::weak_ptr<KLTHostItem> weakItem = item;
    for (const auto& nested : item->nestedSelves()) {
        nested->didChangeValueForKey.connect([weakSelf, weakItem](const std::string& keyPath) {
            auto self = weakSelf.lock();
            auto parent = weakItem.lock();
            if (self && parent) self->didChangeItem(parent, keyPath);
        });
    }
    impartArchiveStateOnHostItem(*item);
    hostItemsWillChange.emit();
    {
        std::lock_guard lock(mutex_);
        hostItems_.push_back(item);
    }
    hostItemsDidChange.emit();
}

void PWServicesManager::removeAllHostItems() {
    hostItemsWillChange.emit();
    {
        std::lock_guard lock(mutex_);
        hostItems_.clear();
    }
    hostItemsDidChange.emit();
}

std::optional<size_t> PWServicesManager::indexOfHostItemWithUUID(const std::string& uuid) const {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < hostItems_.size(); ++i)
        if (hostItems_[i]->hostUUID() == uuid) return i;
    return std::nullopt;
}

std::shared_ptr<KLTHostItem> PWServicesManager::hostItemForUUID(const std::string& uuid) const {
    std::lock_guard lock(mutex_);
    auto index = indexOfHostItemWithUUID(uuid);
    return index ? hostItems_[*index] : nullptr;
}

std::optional<std::string> PWServicesManager::hostNameForUUID(const std::string& uuid) const {
    auto item = hostItemForUUID(uuid);
    return item ? item->hostName() : std::nullopt;
}

void PWServicesManager::updateStatus(int32_t state, const std::string& uuid) {
    auto item = hostItemForUUID(uuid);
    if (!item) return;
    int32_t previous = item->connectionStatus();
    if (state != previous && (state == 0 || state == 5)) {
        std::string host = item->hostName().value_or("(null)");
        std::string title, message;
        if (state == 5) {
            title = "Connected to peer";
            message = "Now connected to " + host;
        } else if (previous == 3) {
            title = "Connection failed";
            message = "Could not connect to " + host;
        } else {
            title = "Peer Disconnected";
            message = host + " is no longer connected";
        }
        KLTUserNotificationManager::sharedInstance().deliverUserNotificationWithTitle(title, message);
    }
    item->setConnectionStatus(state);
}

void PWServicesManager::didChangeItem(const std::shared_ptr<KLTHostItem>& item, const std::string& keyPath) {
    if (keyPath != "sshUsername" || !item) return;
    archiveHostItem(*item);
    archiveHostItems();
}

void PWServicesManager::archiveHostItems() {
    auto path = options_.archivePath ? options_.archivePath : hostItemArchivePath();
    if (!path) return;
    Array records;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [uuid, archive] : hostItemArchiveDictionary_) records.push_back(archive.toValue());
    }
    if (!KLTButler::archiveObject(Value(std::move(records)), *path))
        KLLog(kKLTLoggingLevelError, "Error writing host item archive: %s", path->c_str());
}

void PWServicesManager::unarchiveHostItems() {
    auto path = options_.archivePath ? options_.archivePath : hostItemArchivePath();
    std::error_code ec;
    if (!path || !std::filesystem::exists(*path, ec)) return;  // nothing archived yet
    auto archived = KLTButler::unarchiveFileWithPath(*path);
    const Array* records = archived ? archived->asArray() : nullptr;
    if (!records) {
        // Keep the unreadable file for inspection, but out of the way: it is neither trusted now
        // nor left to be mistaken for ours again.
        KLLog(kKLTLoggingLevelError, "Could not unarchive host item archive");
        std::filesystem::path aside = path->string() + ".unreadable";
        std::filesystem::rename(*path, aside, ec);
        if (ec) std::filesystem::remove(*path, ec);
        return;
    }
    bool outOfDate = false;
    if (!records->empty()) {
        auto first = KLTHostItemArchive::fromValue(records->front());
        outOfDate = !first || !first->isCurrentVersion();
    }
    {
        std::lock_guard lock(mutex_);
        hostItemArchiveDictionary_.clear();
    }
    if (outOfDate && !std::filesystem::remove(*path, ec))
        KLLog(kKLTLoggingLevelError, "Error removing out of date archive: %s %s", ec.message().c_str(),
              path->c_str());
    // Records of an older version still carry the user's choices, so they are kept.
    for (const Value& value : *records)
        if (auto archive = KLTHostItemArchive::fromValue(value)) addHostItemArchive(*archive);
}

std::optional<KLTHostItemArchive> PWServicesManager::hostItemArchiveForHostItem(const KLTHostItem& item) const {
    return item.hostUUID() ? hostItemArchiveForUUID(*item.hostUUID()) : std::nullopt;
}

std::optional<KLTHostItemArchive> PWServicesManager::hostItemArchiveForUUID(const std::string& uuid) const {
    std::lock_guard lock(mutex_);
    auto found = hostItemArchiveDictionary_.find(uuid);
    if (found == hostItemArchiveDictionary_.end()) return std::nullopt;
    return found->second;
}

void PWServicesManager::impartArchiveStateOnHostItem(KLTHostItem& item) const {
    if (auto archive = hostItemArchiveForHostItem(item)) archive->impartArchiveStateOnHostItem(&item);
}

void PWServicesManager::archiveHostItem(const KLTHostItem& item) {
    if (item.hostUUID()) addHostItemArchive(item.hostItemArchive());
}

void PWServicesManager::addHostItemArchive(const KLTHostItemArchive& archive) {
    if (!archive.hostUUID) return;
    std::lock_guard lock(mutex_);
    hostItemArchiveDictionary_.insert_or_assign(*archive.hostUUID, archive);
}

}  // namespace kl
