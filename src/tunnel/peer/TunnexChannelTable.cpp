#include "tunnel/peer/TunnexChannelTable.h"

#include <algorithm>

#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/forward/PFwdPrivate.h"
#include "tunnel/forward/TunnexForwardedConnection.h"
#include "tunnel/protocol/TunnexChannelHash.h"

namespace kl {
namespace {

// Close notices of channels not entered yet; far more than can be opening at once.
constexpr size_t kEarlyCloseNoticesKept = 64;

}  // namespace

bool TunnexChannelTable::enterConnection(uint32_t hash, const std::shared_ptr<TunnexForwardedConnection>& connection) {
    std::lock_guard lock(mutex_);
    channels_[StringForChannelHash(hash)] = {connection->channel(), connection};
    auto early = std::find(earlyCloseNotices_.begin(), earlyCloseNotices_.end(), hash);
    if (early == earlyCloseNotices_.end()) return false;
    earlyCloseNotices_.erase(early);
    return true;
}

void TunnexChannelTable::enterLocalOnly(const std::string& key, const std::shared_ptr<TunnexSocketImpl>& channel) {
    std::lock_guard lock(mutex_);
    channels_[key] = {channel, nullptr};
    localOnlyKeys_.insert(key);
}

std::shared_ptr<TunnexSocketImpl> TunnexChannelTable::channelForHash(uint32_t hash) const {
    std::lock_guard lock(mutex_);
    auto found = channels_.find(StringForChannelHash(hash));
    return found == channels_.end() ? nullptr : found->second.channel;
}

std::shared_ptr<TunnexSocketImpl> TunnexChannelTable::channelForHashOrKeepCloseNotice(uint32_t hash) {
    std::lock_guard lock(mutex_);
    if (auto found = channels_.find(StringForChannelHash(hash)); found != channels_.end()) return found->second.channel;
    earlyCloseNotices_.push_back(hash);
    if (earlyCloseNotices_.size() > kEarlyCloseNoticesKept) earlyCloseNotices_.pop_front();
    return nullptr;
}

size_t TunnexChannelTable::keyCount() const {
    std::lock_guard lock(mutex_);
    return channels_.size();
}

std::vector<std::shared_ptr<TunnexForwardedConnection>> TunnexChannelTable::connections() const {
    std::vector<std::shared_ptr<TunnexForwardedConnection>> connections;
    std::lock_guard lock(mutex_);
    for (const auto& [key, entry] : channels_) {
        if (entry.connection && std::find(connections.begin(), connections.end(), entry.connection) == connections.end()) {
            connections.push_back(entry.connection);
        }
    }
    return connections;
}

TunnexChannelTable::Keys TunnexChannelTable::keysOf(const std::shared_ptr<TunnexSocket>& channel) const {
    Keys keys;
    std::lock_guard lock(mutex_);
    for (const auto& [key, entry] : channels_) {
        if (entry.channel != channel) continue;
        keys.all.push_back(key);
        if (!localOnlyKeys_.count(key)) keys.shared = key;
    }
    return keys;
}

std::vector<TunnexChannelTable::Entry> TunnexChannelTable::remove(const std::vector<std::string>& keys) {
    std::vector<Entry> removed;
    std::lock_guard lock(mutex_);
    for (const auto& key : keys) {
        auto found = channels_.find(key);
        if (found == channels_.end()) continue;
        removed.push_back(std::move(found->second));
        channels_.erase(found);
        localOnlyKeys_.erase(key);
    }
    return removed;
}

std::optional<TunnexChannelTable::Listener> TunnexChannelTable::replaceListener(const std::string& key,
                                                                               Listener listener) {
    std::lock_guard lock(mutex_);
    auto& slot = listeners_[key];
    std::optional<Listener> replaced;
    if (slot.holder || slot.record) replaced = std::move(slot);
    slot = std::move(listener);
    return replaced;
}

std::optional<TunnexChannelTable::Listener> TunnexChannelTable::takeListener(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (auto found = listeners_.find(key); found != listeners_.end()) return std::move(listeners_.extract(found).mapped());
    if (auto found = closingListeners_.find(key); found != closingListeners_.end()) {
        return std::move(closingListeners_.extract(found).mapped());
    }
    return std::nullopt;
}

size_t TunnexChannelTable::listenerCount() const {
    std::lock_guard lock(mutex_);
    return listeners_.size();
}

TunnexChannelTable::Entries TunnexChannelTable::takeForTeardown(bool closeListeners) {
    Entries channels;
    std::lock_guard lock(mutex_);
    channels.swap(channels_);
    localOnlyKeys_.clear();
    earlyCloseNotices_.clear();
    if (closeListeners) closingListeners_.merge(listeners_);
    return channels;
}

std::optional<std::pair<std::string, TunnexChannelTable::Listener>> TunnexChannelTable::takeClosingListener() {
    std::lock_guard lock(mutex_);
    if (closingListeners_.empty()) return std::nullopt;
    auto node = closingListeners_.extract(closingListeners_.begin());
    return std::make_pair(std::move(node.key()), std::move(node.mapped()));
}

}  // namespace kl
