// The opening of a tunnel's data channels as a machine free of I/O: requests wait in one FIFO, one
// connect is in flight at a time, and TunnexChannelPairing says when to announce, when to connect
// and whose each completed connection is. The owner feeds it events and the time, carries out the
// actions it returns and calls tick() at the deadline it names; nothing in it sleeps or waits.
//
// What the owner knows of its UDT sockets (what the channel opened last has heard, whether the
// last announcement was acknowledged) goes in with every call, so each decision uses what is
// known at that moment.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "tunnel/protocol/TunnexChannelPairing.h"

namespace kl {

class TunnexChannelOpener {
public:
    using TimePoint = TunnexChannelPairing::TimePoint;
    // A connection this side made, named by the owner.
    using ConnectionId = uint64_t;

    // How often facts that come with no event (the acknowledgement of an announcement, what the
    // last channel has heard) are looked for while a step waits on them. UDT acknowledges every
    // 10 ms at most; reading its counters is cheap.
    static constexpr TunnexChannelPairing::Duration kFactsPoll = std::chrono::milliseconds(2);

    // What the remote has shown: on the channel opened last, and on the main channel.
    struct Facts {
        bool heard = false;     // anything at all arrived on the last channel: its socket has completed
        bool sentData = false;  // data arrived on it: the remote has decided whose the channel is
        bool announcementAcknowledged = false;  // the remote's UDT acknowledged the last announcement
    };

    struct Action {
        enum class Kind {
            Announce,  // send the open-forward message of hash, and note it as the last announcement
            Connect,   // read the main channel when it completes; start one rendezvous connect, for hash
            Deliver,   // connection is the channel of hash
            Fail,      // hash gets no channel
            Discard,   // connection belongs to no request any more: close it
        };
        Kind kind;
        uint32_t hash = 0;
        ConnectionId connection = 0;
        bool operator==(const Action&) const = default;
    };

    struct Output {
        std::vector<Action> actions;
        // Call tick() then (or earlier, after any other event).
        std::optional<TimePoint> wakeAt;
        // The connection decided now (delivered or paired) holds its sends until sendsHeldUntil
        // unless its remote is heard first.
        std::optional<ConnectionId> decided;
        TimePoint sendsHeldUntil{};
    };

    // A channel for hash is wanted: this side's own request (its announcement is to be sent) or
    // the answer to the remote's. A hash already paired is delivered at once.
    Output request(uint32_t hash, bool ownRequest, TimePoint now, Facts facts);
    // The remote's open-forward message for hash was read (before its answer is requested).
    void remoteAnnounced(uint32_t hash) { pairing_.remoteAnnounced(hash); }
    // The connect under way completed, and the main channel was read since: a crossing request of
    // the remote is known by now.
    Output connected(ConnectionId connection, TimePoint now, Facts facts);
    // The connect under way failed: its request fails. The owner then ends the tunnel (failAll);
    // nothing else moves until a later event. connected() and connectFailed() without a connect
    // under way do nothing.
    Output connectFailed();
    // A deadline passed or facts changed.
    Output tick(TimePoint now, Facts facts);
    // The tunnel ends: every waiting request fails, connections decided but not asked for are
    // discarded, and a connect still under way is discarded when it completes.
    Output failAll();

    size_t waiting() const { return fifo_.size(); }
    bool connecting() const { return phase_ == Phase::Connecting; }

private:
    enum class Phase { Idle, AwaitAnnounce, AwaitAcknowledge, AwaitConnect, Connecting };
    struct Entry {
        uint32_t hash;
        bool ownRequest;
    };

    void advance(TimePoint now, Facts facts, Output& out);
    void decide(ConnectionId connection, TimePoint now, Output& out);
    // Hands connection to the waiting request of hash, wherever it waits; false when none waits.
    bool deliverToWaiting(uint32_t hash, ConnectionId connection, Output& out);

    TunnexChannelPairing pairing_;
    std::deque<Entry> fifo_;
    Phase phase_ = Phase::Idle;
    // Connections decided for a remote hash whose answer was not asked for yet.
    std::map<uint32_t, ConnectionId> paired_;
    bool strayConnect_ = false;  // the connect under way belongs to a request that failed
};

}  // namespace kl
