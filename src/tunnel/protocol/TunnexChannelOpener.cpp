#include "tunnel/protocol/TunnexChannelOpener.h"

#include <algorithm>

namespace kl {

using Kind = TunnexChannelOpener::Action::Kind;

TunnexChannelOpener::Output TunnexChannelOpener::request(uint32_t hash, bool ownRequest, TimePoint now,
                                                         Facts facts) {
    Output out;
    if (auto found = paired_.find(hash); found != paired_.end()) {
        out.actions.push_back({Kind::Deliver, hash, found->second});
        paired_.erase(found);
        pairing_.forget(hash);
    } else {
        fifo_.push_back({hash, ownRequest});
    }
    advance(now, facts, out);
    return out;
}

TunnexChannelOpener::Output TunnexChannelOpener::connected(ConnectionId connection, TimePoint now,
                                                           Facts facts) {
    Output out;
    if (phase_ != Phase::Connecting) return out;  // no connect was under way: nothing to decide
    if (strayConnect_) {
        // Its request failed meanwhile (the tunnel ended); the requests since may connect now.
        strayConnect_ = false;
        phase_ = Phase::Idle;
        out.actions.push_back({Kind::Discard, 0, connection});
        advance(now, facts, out);
        return out;
    }
    decide(connection, now, out);
    advance(now, facts, out);
    return out;
}

TunnexChannelOpener::Output TunnexChannelOpener::connectFailed() {
    Output out;
    if (phase_ != Phase::Connecting) return out;
    if (strayConnect_) {
        strayConnect_ = false;
        phase_ = Phase::Idle;
        return out;
    }
    const uint32_t hash = fifo_.front().hash;
    fifo_.pop_front();
    pairing_.forget(hash);
    phase_ = Phase::Idle;
    out.actions.push_back({Kind::Fail, hash});
    return out;
}

TunnexChannelOpener::Output TunnexChannelOpener::tick(TimePoint now, Facts facts) {
    Output out;
    advance(now, facts, out);
    return out;
}

TunnexChannelOpener::Output TunnexChannelOpener::failAll() {
    Output out;
    for (const Entry& entry : fifo_) out.actions.push_back({Kind::Fail, entry.hash});
    for (const auto& [hash, connection] : paired_) out.actions.push_back({Kind::Discard, hash, connection});
    fifo_.clear();
    paired_.clear();
    pairing_ = TunnexChannelPairing();
    // A connect under way keeps later requests waiting until it completes, for no one.
    if (phase_ == Phase::Connecting) strayConnect_ = true;
    else phase_ = Phase::Idle;
    return out;
}

void TunnexChannelOpener::advance(TimePoint now, Facts facts, Output& out) {
    for (;;) {
        switch (phase_) {
            case Phase::Connecting:
                return;
            case Phase::Idle:
                if (fifo_.empty()) return;
                phase_ = fifo_.front().ownRequest ? Phase::AwaitAnnounce : Phase::AwaitConnect;
                continue;
            case Phase::AwaitAnnounce: {
                const TimePoint notBefore = pairing_.announceNotBefore(facts.sentData);
                if (notBefore > now) {
                    out.wakeAt = std::min(notBefore, now + kFactsPoll);
                    return;
                }
                out.actions.push_back({Kind::Announce, fifo_.front().hash});
                phase_ = Phase::AwaitAcknowledge;
                // Not acknowledged yet: it was only just sent.
                out.wakeAt = now + kFactsPoll;
                return;
            }
            case Phase::AwaitAcknowledge:
                // Until the remote holds the announcement, its completion could come before it.
                if (!facts.announcementAcknowledged) {
                    out.wakeAt = now + kFactsPoll;
                    return;
                }
                phase_ = Phase::AwaitConnect;
                continue;
            case Phase::AwaitConnect: {
                const TimePoint notBefore = pairing_.connectNotBefore(facts.heard);
                if (notBefore > now) {
                    out.wakeAt = std::min(notBefore, now + kFactsPoll);
                    return;
                }
                out.actions.push_back({Kind::Connect, fifo_.front().hash});
                phase_ = Phase::Connecting;
                return;
            }
        }
    }
}

void TunnexChannelOpener::decide(ConnectionId connection, TimePoint now, Output& out) {
    const Entry head = fifo_.front();
    const uint32_t owner = pairing_.decide(head.hash, head.ownRequest, now);
    out.decided = connection;
    out.sendsHeldUntil = pairing_.sendsHeldUntil();
    if (owner == head.hash) {
        out.actions.push_back({Kind::Deliver, owner, connection});
        fifo_.pop_front();
        phase_ = Phase::Idle;
        return;
    }
    // The connection went to the remote's crossing request; this side's head connects again
    // (announced and acknowledged already, so it does not announce again).
    if (!deliverToWaiting(owner, connection, out)) paired_[owner] = connection;
    phase_ = Phase::AwaitConnect;
}

bool TunnexChannelOpener::deliverToWaiting(uint32_t hash, ConnectionId connection, Output& out) {
    auto waiting = std::find_if(fifo_.begin() + 1, fifo_.end(), [hash](const Entry& e) { return e.hash == hash; });
    if (waiting == fifo_.end()) return false;
    fifo_.erase(waiting);
    out.actions.push_back({Kind::Deliver, hash, connection});
    return true;
}

}  // namespace kl
