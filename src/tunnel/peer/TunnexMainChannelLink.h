// TunnexMainChannelLink: how one peer talks over its current main channel. The sends, taken in
// turn and counted in packets so an acknowledgement can be judged; the reads, taken in turn into
// an inbox handled in the order read; whether the channel is being listened to and whether its
// end has been reported; and the count of data channels that keeps it open, with the delayed
// close armed when that count falls to 0. Any thread; each concern has its own plain lock (named
// where it guards), held only around its fields and the one socket call it orders.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/Executors.h"
#include "platform/Value.h"
#include "tunnel/TunnexResult.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"

namespace kl {

class TunnexSocket;

class TunnexMainChannelLink {
public:
    // A new main channel: nothing counted as sent yet, its end not reported.
    void reset();

    // --- sends ---

    // Sends one message whole on channel, after the sends before it.
    TunnexResult<void> send(TunnexSocket& channel, const Bytes& message, double timeout);
    // Packets handed to the current main channel, counted low (one per 64 KiB of a message; UDT's
    // packets are smaller), so that an acknowledgement judged from it is never judged too early.
    uint64_t packetsQueued();
    // Whether the remote's UDT has acknowledged every packet up to mark on udtSocket.
    bool acknowledged(int udtSocket, uint64_t mark);

    // --- reads ---

    // A turn at reading: the poll thread's reads and the queue's own take turns, and the inbox
    // fills in the order messages were read. Holds the read lock while it lives.
    class ReadTurn {
    public:
        explicit ReadTurn(TunnexMainChannelLink& link) : lock_(link.readMutex_), inbox_(link.inbox_) {}
        void keep(TunnexMainChannelMessage message) { inbox_.push_back(std::move(message)); }
        bool nothingKept() const { return inbox_.empty(); }

    private:
        std::lock_guard<std::mutex> lock_;
        std::deque<TunnexMainChannelMessage>& inbox_;
    };
    // The oldest message read and not yet handled.
    std::optional<TunnexMainChannelMessage> nextRead();

    bool listening() const { return listening_.load(); }
    void markListening() { listening_.store(true); }
    // True the first time the current main channel's end is claimed.
    bool claimEnd() { return !ended_.exchange(true); }

    // --- the delayed close ---

    // A data channel opens: a queued close is cancelled. The new count.
    uint16_t countOpening();
    // A data channel is done with (never below 0). At 0, unless the main channel persists or a
    // close is queued already, arm queues the close (under the lock, so it is queued once).
    void countClosing(bool persists, const std::function<CancelHandle()>& arm);
    uint16_t tunnelCount() const;
    void setTunnelCount(uint16_t count);
    bool closeQueued() const;

private:
    std::mutex sendMutex_;
    uint64_t packetsQueued_ = 0;  // guarded by sendMutex_

    std::mutex readMutex_;
    std::deque<TunnexMainChannelMessage> inbox_;  // guarded by readMutex_

    // Read by the socket manager and the peer's queue alike; set once per channel.
    std::atomic<bool> listening_{false};
    std::atomic<bool> ended_{false};

    mutable std::mutex closeMutex_;
    uint16_t tunnelCount_ = 0;  // guarded by closeMutex_
    CancelHandle delayedClose_;  // guarded by closeMutex_
};

}  // namespace kl
