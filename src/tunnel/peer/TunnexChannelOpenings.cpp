#include "tunnel/peer/TunnexChannelOpenings.h"

#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/manager/TunnexRemotePeer.h"

namespace kl {

bool TunnexChannelOpenings::add(uint32_t hash, Request request) {
    return requests_.try_emplace(hash, std::move(request)).second;
}

const TunnexChannelOpenings::Request* TunnexChannelOpenings::find(uint32_t hash) const {
    auto found = requests_.find(hash);
    return found == requests_.end() ? nullptr : &found->second;
}

TunnexChannelOpenings::Completion TunnexChannelOpenings::finish(uint32_t hash) {
    auto found = requests_.find(hash);
    if (found == requests_.end()) return {};
    Completion done = std::move(found->second.done);
    requests_.erase(found);
    return done;
}

TunnexChannelOpenings::ConnectionId TunnexChannelOpenings::keepConnected(const std::shared_ptr<TunnexSocketImpl>& channel) {
    const ConnectionId id = ++lastConnectionId_;
    connected_[id] = channel;
    lastOpenedChannel_ = channel;
    lastChannelFacts_ = {};
    return id;
}

std::shared_ptr<TunnexSocketImpl> TunnexChannelOpenings::connected(ConnectionId id) const {
    auto found = connected_.find(id);
    return found == connected_.end() ? nullptr : found->second;
}

std::shared_ptr<TunnexSocketImpl> TunnexChannelOpenings::takeConnected(ConnectionId id) {
    auto found = connected_.find(id);
    if (found == connected_.end()) return nullptr;
    auto channel = std::move(found->second);
    connected_.erase(found);
    return channel;
}

TunnexChannelOpener::Facts TunnexChannelOpenings::lastChannelFacts() {
    if (auto previous = lastOpenedChannel_.lock()) {
        if (!lastChannelFacts_.sentData) lastChannelFacts_.sentData = previous->remoteSentData();
        if (!lastChannelFacts_.heard) lastChannelFacts_.heard = lastChannelFacts_.sentData || previous->remoteComplete();
    }
    return lastChannelFacts_;
}

void TunnexChannelOpenings::noteClosingChannel(const std::shared_ptr<TunnexSocketImpl>& closing,
                                               TunnexChannelOpener::Facts seen) {
    if (!closing || lastOpenedChannel_.lock() != closing) return;
    lastChannelFacts_.heard = lastChannelFacts_.heard || seen.heard;
    lastChannelFacts_.sentData = lastChannelFacts_.sentData || seen.sentData;
}

void TunnexChannelOpenings::replaceWatch(CancelHandle watch) {
    lastChannelWatch_.cancel();
    lastChannelWatch_ = std::move(watch);
}

void TunnexChannelOpenings::replaceTimer(CancelHandle timer) {
    openerTimer_.cancel();
    openerTimer_ = std::move(timer);
}

}  // namespace kl
