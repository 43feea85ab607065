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

void KLTNestedHostItem::setSshUsername(std::optional<std::string> name) {
    sshUsername_ = name;
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
        item->serviceTypes_.insert(type);
        if (!type.empty()) item->serviceItems_.push_back({type});
    }
    auto nested = std::make_shared<KLTNestedHostItem>();
    nested->setParentHostItem(item);
    item->nestedSelves_.push_back(std::move(nested));
    return item;
}

void KLTHostItem::updateWithPWDictionary(const Value& record) {
    if (!record.isDictionary()) return;
    for (const auto& type : serviceTypesFromPWDictionary(record).value_or(std::vector<std::string>{}))
        serviceTypes_.insert(type);
    setAvailable(statusField(record));
    setConnectionStatus(connectionStatusField(record));
}

std::shared_ptr<KLTHostItem> KLTHostItem::copy() const {
    auto item = std::make_shared<KLTHostItem>();
    item->hostName_ = hostName_;
    item->nickname_ = nickname_;
    item->modelString_ = modelString_;
    item->hostUUID_ = hostUUID_;
    item->modelImageSuffix_ = modelImageSuffix_;
    return item;
}

KLTHostItemArchive KLTHostItem::hostItemArchive() const {
    KLTHostItemArchive archive;
    archive.hostUUID = hostUUID_;
    archive.sshUsername = sshUsername_;
    return archive;
}

void KLTHostItem::setConnectionStatus(int32_t status) {
    connectionStatus_ = status;
    didChangeValueForKey.emit("connectionStatus");
    if (status == 5) {
        available_ = true;  // follows from the tunnel; not announced on its own
        setConnecting(false);
    } else if (status >= 1 && status <= 4) {
        available_ = true;
        setConnecting(true);
    } else {
        setConnecting(false);
    }
    setConnected(status == 5);
    resetModelImage();
}

void KLTHostItem::setAvailable(bool available) {
    available_ = available;
    didChangeValueForKey.emit("available");
    resetModelImage();
}

void KLTHostItem::setConnecting(bool connecting) {
    connecting_ = connecting;
    didChangeValueForKey.emit("connecting");
}

void KLTHostItem::setConnected(bool connected) {
    connected_ = connected;
    didChangeValueForKey.emit("connected");
}

void KLTHostItem::setSshUsername(std::optional<std::string> name) {
    sshUsername_ = name;
    for (const auto& nested : nestedSelves_) nested->stackSafeSetSshUsername(name);
    didChangeValueForKey.emit("sshUsername");
}

void KLTHostItem::resetModelImage() {
    modelImageSuffix_ = connectionStatus_ == 5 ? "_connected" : available_ ? "_available" : "_offline";
    didChangeValueForKey.emit("modelImage");
}

}  // namespace kl
