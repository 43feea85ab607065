#include "daemon/model/KLTHostItem.h"

#include "daemon/model/PWHostRecord.h"

namespace kl {

namespace {

std::optional<std::string> textField(const Value& record, const char* key) {
    const Value* v = record.get(key);
    if (v && v->asString()) return *v->asString();
    return std::nullopt;
}

// "status" is an integer or a boolean; non-zero is available.
bool statusField(const Value& record) {
    const Value* v = record.get("status");
    if (!v) return false;
    if (auto b = v->asBool()) return *b;
    if (auto d = v->asDouble()) return *d != 0;
    return false;
}

int32_t connectionStatusField(const Value& record) {
    const Value* v = record.get("tunnexConnectionStatus");
    auto i = v ? v->asInt() : std::nullopt;
    return i ? static_cast<int32_t>(*i) : 0;
}

}  // namespace

std::optional<std::string> KLTNestedHostItem::sshUsername() const {
    std::lock_guard lock(mutex_);
    return sshUsername_;
}

void KLTNestedHostItem::stackSafeSetSshUsername(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    sshUsername_ = std::move(name);
}

void KLTNestedHostItem::setSshUsername(std::optional<std::string> name) {
    stackSafeSetSshUsername(name);
    if (auto parent = parent_.lock()) parent->stackSafeSetSshUsername(std::move(name));
    didChangeValueForKey.emit("sshUsername");
}

std::optional<std::vector<std::string>> KLTHostItem::serviceTypesFromPWDictionary(const Value& record) {
    auto text = textField(record, "service_names");
    if (!text) return std::nullopt;
    return splitString(*text, ',');
}

std::shared_ptr<KLTHostItem> KLTHostItem::hostItemWithPWDictionary(const Value& record) {
    if (!record.isDictionary()) return nullptr;
    auto item = std::make_shared<KLTHostItem>();
    item->hostName_ = textField(record, "name");
    item->nickname_ = textField(record, "nickname");
    item->modelString_ = textField(record, "model_number");
    item->hostUUID_ = textField(record, "uuid");
    item->hostID_ = textField(record, "id");
    item->setAvailable(statusField(record));
    item->setConnectionStatus(connectionStatusField(record));
    item->resetModelImage();
    for (const auto& type : serviceTypesFromPWDictionary(record).value_or(std::vector<std::string>{})) {
        {
            std::lock_guard lock(item->mutex_);
            item->serviceTypes_.insert(type);
        }
        if (!type.empty()) item->serviceItems_.push_back({type});
    }
    auto nested = std::make_shared<KLTNestedHostItem>();
    nested->setParentHostItem(item);
    item->nestedSelves_.push_back(std::move(nested));
    return item;
}

void KLTHostItem::updateWithPWDictionary(const Value& record) {
    if (!record.isDictionary()) return;
    {
        std::lock_guard lock(mutex_);
        for (const auto& type : serviceTypesFromPWDictionary(record).value_or(std::vector<std::string>{}))
            serviceTypes_.insert(type);
    }
    setAvailable(statusField(record));
    setConnectionStatus(connectionStatusField(record));
}

std::shared_ptr<KLTHostItem> KLTHostItem::copy() const {
    auto item = std::make_shared<KLTHostItem>();
    item->hostName_ = hostName_;
    item->nickname_ = nickname_;
    item->modelString_ = modelString_;
    item->hostUUID_ = hostUUID_;
    item->state_.modelImageSuffix = modelImageSuffix();
    return item;
}

KLTHostItemArchive KLTHostItem::hostItemArchive() const {
    KLTHostItemArchive archive;
    archive.hostUUID = hostUUID_;
    archive.sshUsername = sshUsername();
    return archive;
}

KLTHostItem::DisplayState KLTHostItem::displayState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string KLTHostItem::modelImageSuffix() const {
    std::lock_guard lock(mutex_);
    return state_.modelImageSuffix;
}

std::set<std::string> KLTHostItem::serviceTypes() const {
    std::lock_guard lock(mutex_);
    return serviceTypes_;
}

std::optional<std::string> KLTHostItem::sshUsername() const {
    std::lock_guard lock(mutex_);
    return sshUsername_;
}

int32_t KLTHostItem::connectionStatus() const { return displayState().connectionStatus; }
bool KLTHostItem::connecting() const { return displayState().connecting; }
bool KLTHostItem::connected() const { return displayState().connected; }
bool KLTHostItem::available() const { return displayState().available; }

void KLTHostItem::setConnectionStatus(int32_t status) {
    bool availabilityChanged = false;
    {
        // One step under the lock: a reader sees the tunnel state before or after, never between.
        std::lock_guard lock(mutex_);
        state_.connectionStatus = status;
        const bool tunnelUp = status >= 1 && status <= 5;
        availabilityChanged = tunnelUp && !state_.available;
        if (tunnelUp) state_.available = true;
        state_.connecting = status >= 1 && status <= 4;
        state_.connected = status == 5;
        resetModelImageLocked();
    }
    didChangeValueForKey.emit("connectionStatus");
    // A row dims an unavailable host and hides its button: it must learn that the tunnel made it
    // available.
    if (availabilityChanged) didChangeValueForKey.emit("available");
    didChangeValueForKey.emit("connecting");
    didChangeValueForKey.emit("connected");
    didChangeValueForKey.emit("modelImage");
}

void KLTHostItem::setAvailable(bool available) {
    {
        std::lock_guard lock(mutex_);
        state_.available = available;
        resetModelImageLocked();
    }
    didChangeValueForKey.emit("available");
    didChangeValueForKey.emit("modelImage");
}

void KLTHostItem::stackSafeSetSshUsername(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    sshUsername_ = std::move(name);
}

void KLTHostItem::setSshUsername(std::optional<std::string> name) {
    stackSafeSetSshUsername(name);
    for (const auto& nested : nestedSelves_) nested->stackSafeSetSshUsername(name);
    didChangeValueForKey.emit("sshUsername");
}

void KLTHostItem::resetModelImage() {
    {
        std::lock_guard lock(mutex_);
        resetModelImageLocked();
    }
    didChangeValueForKey.emit("modelImage");
}

void KLTHostItem::resetModelImageLocked() {
    state_.modelImageSuffix = state_.connectionStatus == 5 ? "_connected"
                              : state_.available             ? "_available"
                                                             : "_offline";
}

}  // namespace kl
