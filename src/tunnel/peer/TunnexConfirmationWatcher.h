// TunnexConfirmationWatcher: the confirmation waits of the hole punch's answered fresh sockets,
// watched together on one thread.
//
// A fresh socket that answered the remote waits for its confirmation or acceptance. Every open
// wait is a record here; one thread polls all their sockets at once together with a wake eventfd,
// reads and classifies what arrives, and hands each datagram of the attempt to a report callback
// (which posts it to the peer's queue). A wait ends when its datagram settles it (the socket stays
// open for the completion), after its silence (confirmation polls x confirmation poll since the
// last datagram it took), when its socket fails or was closed elsewhere, or when its peer is gone;
// the socket is closed by this thread alone (silence, failure, peer gone), between its polls.
// Destruction wakes and joins the thread and closes the sockets of the waits still open.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/protocol/TunnexHolePunchHandshake.h"

namespace kl {

class KLNetSocket;
class TunnexPeer;
class TunnexRemotePeer;

class TunnexConfirmationWatcher {
public:
    struct Wait {
        std::shared_ptr<KLNetSocket> socket;
        std::shared_ptr<TunnexRemotePeer> potentialPeer;  // points at the source of the last datagram
        bool originator = false;
        std::shared_ptr<TunnexTransaction> transaction;
        std::weak_ptr<TunnexPeer> peer;
    };
    // A datagram of the wait's attempt and what the handshake makes of it.
    struct Heard {
        TunnexHolePunchWord word = TunnexHolePunchWord::Ahoy;
        TunnexHolePunchDecision decision;
        sockaddr_in source{};
    };
    // Called on the watcher's thread, with the wait's peer held: it posts and returns, and holds
    // its owner weakly (the owner's destruction joins this thread).
    using Report = std::function<void(const std::shared_ptr<TunnexPeer>&, const Wait&, const Heard&)>;

    // A wait ends after silencePolls steps of silencePoll without a datagram it takes.
    TunnexConfirmationWatcher(int silencePolls, std::chrono::milliseconds silencePoll, Report report);
    ~TunnexConfirmationWatcher();
    TunnexConfirmationWatcher(const TunnexConfirmationWatcher&) = delete;
    TunnexConfirmationWatcher& operator=(const TunnexConfirmationWatcher&) = delete;

    // Starts watching the wait's socket (and the thread, on the first wait).
    void add(Wait wait);
    // Waits still open.
    size_t openWaits() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Record {
        Wait wait;
        Clock::time_point silentUntil;  // owned by the watcher's thread
    };
    enum class End { Settled, Silence, Failed, ClosedElsewhere, PeerGone, Stopped };

    // What a datagram on a waiting socket means; nothing for a stranger's, another attempt's or
    // a short one. Sets the wait's potential peer to the source of a datagram it takes.
    static std::optional<Heard> hear(const Wait& wait, std::span<const uint8_t> datagram, const sockaddr_in& source);
    void run();
    void wake();
    // Reads one datagram from a readable socket; true when it settled the wait.
    bool takeDatagram(Record& record, std::vector<uint8_t>& buffer);
    // Removes the record from the open waits; closes its socket unless it was settled or closed
    // elsewhere.
    void end(const std::shared_ptr<Record>& record, End why);

    const std::chrono::milliseconds silence_;
    const std::chrono::milliseconds poll_;
    const Report report_;
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Record>> waits_;  // guarded by mutex_
    bool stopping_ = false;                       // guarded by mutex_
    std::jthread thread_;                         // started under mutex_ by the first add
};

}  // namespace kl
