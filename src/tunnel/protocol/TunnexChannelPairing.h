// Which data channel belongs to which forward, and when this side may announce, connect and send,
// decided from what the two peers have said: free of I/O, fed the main channel's open-forward
// messages, the completions of this side's connects, what each channel has heard from its remote
// end, and the time.
//
// Every data channel of a tunnel is a UDT rendezvous connection on the one punched UDP socket, and
// UDT pairs a side's connect with whatever connect of the other side is in flight at that moment.
// The handshake carries nothing that tells which request the other side meant, so both sides
// derive it from the same facts:
//  - Each side opens one data channel at a time (its own requests and its answers alike), so the
//    k-th connection of one side meets the k-th of the other. A requester announces its hash on
//    the main channel before it connects; an answerer connects only after reading the hash.
//  - A requester connects only once the remote's UDT has acknowledged its announcement. UDT makes
//    an in-order message readable before it acknowledges it, and the remote's side of the
//    rendezvous completes only on a handshake sent after that connect; so when either side's
//    connect completes, the other side's crossing request is already readable on its main
//    channel. Read the main channel at completion, and the question whether the remote answered
//    or crossed is settled by what was read: no waiting for an announcement that may still come.
//  - A requester's connection belongs to the smallest of its own hash and the remote's announced
//    hashes that have no channel yet. When both ends request at once, each knows both hashes, so
//    both give the connection to the smaller one and open again for the larger.
//  - An answerer's connection belongs to the hash it answers: the remote's k-th connect was for
//    that hash (a remote announces only the request it connects for next). A later announcement
//    read before the answerer decided is not a contender.
//  - The remote's socket of a rendezvous may complete up to a handshake period after this side's.
//    Until it has, it would take this side's next handshake for its partner's, and a data packet
//    reaching it is lost (and costs a retransmission). So this side connects again only once the
//    remote has been heard on it (anything it sends proves it complete) or the allowance for its
//    completion has passed; its sends wait a short while for the same.
//  - After a connection whose remote was requesting, that remote may still be deciding whose it
//    is; an announcement of this side read before then would look to it like a crossing request.
//    So the next announcement waits until the remote has surely decided: it has been heard on the
//    channel (it sends only after deciding), or the allowance for its decision has passed.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>

namespace kl {

class TunnexChannelPairing {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    // UDT repeats a rendezvous handshake every 250 ms; the margin covers a loaded machine.
    static constexpr Duration kRemoteCompletionAllowance = std::chrono::milliseconds(400);
    // The remote's socket mostly completes within a few ms of this side's, else on a packet of
    // this side's (UDT looks at a quiet socket's timers only about every 100 ms). A send that
    // reaches it before costs one retransmission, not the pairing, and measured side by side
    // that is cheaper than holding every new channel's sends for the slow case.
    static constexpr Duration kRemoteSendAllowance = std::chrono::milliseconds(20);
    // The remote's completion, its decision (a remote that reads its main channel late decides
    // late) and room for a loaded machine.
    static constexpr Duration kRemoteDecisionAllowance = std::chrono::milliseconds(900);

    // The remote's open-forward message for hash was read.
    void remoteAnnounced(uint32_t hash) { remoteWaiting_.insert(hash); }
    // The remote's hash got its channel, or its opening failed.
    void forget(uint32_t hash) { remoteWaiting_.erase(hash); }
    bool remoteWaiting(uint32_t hash) const { return remoteWaiting_.count(hash) != 0; }

    // The earliest moment of this side's next connect. remoteComplete: anything of the remote
    // (data or an acknowledgement) has arrived on the previous connection.
    TimePoint connectNotBefore(bool remoteComplete) const;
    // The earliest moment of this side's next announcement. remoteDecided: data of the remote has
    // arrived on the previous connection (it sends only once it has decided whose it is).
    TimePoint announceNotBefore(bool remoteDecided) const;

    // This side's connect for ownHash completed at now, and the main channel was read since:
    // whose the connection is. A requester's goes to the smallest of its own hash and the
    // remote's waiting ones, an answerer's to the hash it answers.
    uint32_t decide(uint32_t ownHash, bool requesting, TimePoint now);
    // Until when the decided channel holds its sends unless its remote is heard first.
    TimePoint sendsHeldUntil() const { return completed_ + kRemoteSendAllowance; }

private:
    std::set<uint32_t> remoteWaiting_;
    bool remoteRequested_ = false;  // the last decided connection's remote was requesting
    TimePoint completed_{};          // of the last connection
    bool opened_ = false;            // a connection has completed before
};

}  // namespace kl
