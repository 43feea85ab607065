// src/tunnel/peer: one tunnel peer per remote machine: rendezvous registration, hole punching,
// the main channel and its data channels, the peer's queue, the tables it owns, its timers and
// transactions.
//
// TunnexChannelOpenings: the data channels one peer is opening. The opener that decides under the
// pairing rule, the requests waiting by hash, the connections made and not yet handed out, what
// the channel this side opened last has heard, the mark of the last announcement, and the timers
// that wake the opener and watch that channel. Owned by the peer's queue: used there only, so it
// has no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "platform/Executors.h"
#include "platform/Value.h"
#include "tunnel/protocol/TunnexChannelOpener.h"

namespace kl {

class TunnexRemotePeer;
class TunnexSocketImpl;

class TunnexChannelOpenings {
public:
    using Completion = std::function<void(std::shared_ptr<TunnexSocketImpl>)>;
    using ConnectionId = TunnexChannelOpener::ConnectionId;
    // A request waiting for its channel; announce is the open-forward message of this side's own.
    struct Request {
        std::shared_ptr<TunnexRemotePeer> remotePeer;
        std::optional<Bytes> announce;
        Completion done;
    };

    TunnexChannelOpener& opener() { return opener_; }

    // False (and nothing kept) when a request for hash waits already: a collision.
    bool add(uint32_t hash, Request request);
    const Request* find(uint32_t hash) const;
    // The request for hash stops waiting; its completion (empty when none waited).
    Completion finish(uint32_t hash);

    // A connection made: kept until handed out, and from now on the channel opened last.
    ConnectionId keepConnected(const std::shared_ptr<TunnexSocketImpl>& channel);
    std::shared_ptr<TunnexSocketImpl> connected(ConnectionId id) const;
    std::shared_ptr<TunnexSocketImpl> takeConnected(ConnectionId id);

    // What the channel opened last has heard; once seen it stays true: it is about the remote's
    // past, and a channel closed since (its client may be quick) can no longer be asked.
    TunnexChannelOpener::Facts lastChannelFacts();
    // What a channel heard before it closed, kept when it is still the one opened last.
    void noteClosingChannel(const std::shared_ptr<TunnexSocketImpl>& closing, TunnexChannelOpener::Facts seen);
    // sendMainChannelMessageMarked's count for the last announcement.
    uint64_t announcementMark() const { return announcementMark_; }
    void setAnnouncementMark(uint64_t mark) { announcementMark_ = mark; }

    // Each replaces (and cancels) the one armed before.
    void replaceWatch(CancelHandle watch);
    void replaceTimer(CancelHandle timer);

private:
    TunnexChannelOpener opener_;
    std::map<uint32_t, Request> requests_;
    std::map<ConnectionId, std::shared_ptr<TunnexSocketImpl>> connected_;
    ConnectionId lastConnectionId_ = 0;
    uint64_t announcementMark_ = 0;
    std::weak_ptr<TunnexSocketImpl> lastOpenedChannel_;
    TunnexChannelOpener::Facts lastChannelFacts_;  // what lastOpenedChannel_ has heard so far
    CancelHandle lastChannelWatch_;
    CancelHandle openerTimer_;
};

}  // namespace kl
