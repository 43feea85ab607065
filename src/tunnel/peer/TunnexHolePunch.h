// TunnexHolePunch: the hole-punch handshake of the tunnel peers, installed as the peers' connection
// layer when the tunnel library starts.
//
// After the rendezvous server has introduced two peers, both spray AHOY datagrams at each other
// from the socket the server knows (the handoff socket) and from a fresh socket per round on a
// random port, answer what comes back with confirmation and acceptance records, and, as soon as
// one path is confirmed, hand that UDP socket to UDT, which connects the main channel on it in
// rendezvous mode. Datagrams on the handoff socket are answered by the peer's dispatcher through
// the senders here; datagrams on fresh sockets are read here.
//
// Threads: an attempt (connectWithTransaction) runs as steps on the peer's queue, paced by timers
// there (the rounds, their polls, the final poll and the repeats until the deadline); each answered
// fresh socket gets a confirmation wait, a record of this object's watcher, whose one thread polls
// every waiting socket (woken and joined when this object is destroyed) and only classifies and
// posts what it heard to the peer's queue; a completion runs on the peer's queue too, at most one
// per peer, its countdown a timer and its UDT connect watched by the socket manager's poll loop;
// every sender sends from a global-queue block so its caller never waits.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "tunnel/TunnexResult.h"
#include "platform/Executors.h"
#include "tunnel/peer/TunnexConfirmationWatcher.h"
#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/protocol/TunnexHolePunchHandshake.h"
#include "tunnel/protocol/TunnexHolePunchPacer.h"

namespace kl {

// The hole punch's pace and waits: the protocol's by default; tests shorten them.
struct TunnexHolePunchTiming {
    int rounds = 1024;
    std::chrono::microseconds sendPause{1250};
    std::chrono::milliseconds roundPoll{5};
    std::chrono::milliseconds finalPoll{1000};
    // Polls of silence that end a confirmation wait.
    int confirmationPolls = 15;
    std::chrono::milliseconds confirmationPoll{1000};
    int countdownChecks = 100;
    std::chrono::milliseconds countdownInterval{100};
    // The whole attempt, from the invitation to the start of the completion; then it fails.
    std::chrono::milliseconds attemptLimit{30000};
    // Until the completion starts, the AHOY is repeated toward the learned address this often.
    std::chrono::milliseconds repeatInterval{250};
    // How long the main channel's rendezvous connect may take (UDT's own limit).
    std::chrono::milliseconds mainChannelConnectLimit{30000};
};

class TunnexContext;

class TunnexHolePunch final : public TunnexPeerConnectionLayer, public std::enable_shared_from_this<TunnexHolePunch> {
public:
    using Timing = TunnexHolePunchTiming;

    // The layer of one context (the process's default when none is given); held weakly, as the
    // context holds its layer.
    static std::shared_ptr<TunnexHolePunch> create(Timing timing = Timing(), std::weak_ptr<TunnexContext> context = {});
    ~TunnexHolePunch() override;
    TunnexHolePunch(const TunnexHolePunch&) = delete;
    TunnexHolePunch& operator=(const TunnexHolePunch&) = delete;

    // Raises the soft limit of open descriptors to the hard limit (an attempt holds up to two per
    // round); called at the library's start-up.
    static void raiseDescriptorLimit();

    // TunnexPeerConnectionLayer.
    void connectWithTransaction(const std::shared_ptr<TunnexPeer>& peer,
                                const std::shared_ptr<TunnexTransaction>& transaction) override;
    void helloSocket(const std::shared_ptr<KLNetSocket>& socket, const std::shared_ptr<TunnexRemotePeer>& remote,
                     const sockaddr_in& to, bool originator) override;
    void confirmSocket(const std::shared_ptr<KLNetSocket>& socket, const std::shared_ptr<TunnexRemotePeer>& remote,
                       const sockaddr_in& to) override;
    void ahoySocket(const std::shared_ptr<KLNetSocket>& socket,
                    const std::shared_ptr<TunnexTransaction>& transaction) override;
    void acknowledgeSocket(const std::shared_ptr<KLNetSocket>& socket,
                           const std::shared_ptr<TunnexTransaction>& transaction, uint16_t type) override;
    void dispatchCompleteConnectionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                            const std::shared_ptr<TunnexRemotePeer>& remote) override;
    void cancelConnection(const std::shared_ptr<TunnexPeer>& peer, uint64_t connectionHandle) override;
    TunnexResult<void> sendMainChannelMessage(const std::shared_ptr<TunnexPeer>& peer, const Bytes& message) override;

    // ACCEPT word; nothing in the handshake sends it.
    void acceptSocket(const std::shared_ptr<KLNetSocket>& socket, const std::shared_ptr<TunnexRemotePeer>& remote,
                      const sockaddr_in& to);

    // Confirmation waits still open, completions queued or running, and attempts whose steps
    // are still queued (an attempt ends with its completion started or its failure reported).
    size_t runningConfirmationWaits();
    size_t pendingCompletions() const { return pendingCompletions_->load(); }
    size_t runningAttempts() const;

private:
    struct Attempt;
    // Counts itself in count for as long as it lives: held by every step of one attempt or one
    // completion, it lets the count fall once the last step has run or was dropped with its peer.
    struct Counted {
        explicit Counted(std::shared_ptr<std::atomic<size_t>> count) : count(std::move(count)) { ++*this->count; }
        ~Counted() { --*count; }
        Counted(const Counted&) = delete;
        Counted& operator=(const Counted&) = delete;
        const std::shared_ptr<std::atomic<size_t>> count;
    };
    using CompletionToken = Counted;
    using AttemptStep = void (TunnexHolePunch::*)(TunnexPeer&, const std::shared_ptr<Attempt>&);

    TunnexHolePunch(Timing timing, std::weak_ptr<TunnexContext> context);
    // The context this layer serves: its manager, its machine UUID.
    std::shared_ptr<TunnexContext> context() const;

    // Sends one datagram from a global-queue block.
    void sendLater(const std::shared_ptr<KLNetSocket>& socket, std::vector<uint8_t> bytes, const sockaddr_in& to,
                   const char* failureLine);
    // The attempt's steps, each on the peer's queue (TunnexHolePunchAttempt.cpp).
    void nextStep(const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<Attempt>& attempt, Duration delay,
                  AttemptStep step);
    void beginAttempt(TunnexPeer& peer, const std::shared_ptr<Attempt>& attempt);
    // Carries out what the attempt's pacer says is due, and arms the timer for its next deadline.
    void paceAttempt(TunnexPeer& peer, const std::shared_ptr<Attempt>& attempt);
    void carryOut(TunnexPeer& peer, Attempt& attempt, const TunnexHolePunchPacer::Step& step);
    void openRound(TunnexPeer& peer, Attempt& attempt);
    void closeUnansweredSockets(TunnexPeer& peer, Attempt& attempt);
    void takeAnswers(TunnexPeer& peer, Attempt& attempt);
    // The attempt's fresh sockets that have a datagram waiting, in creation order (never blocks).
    std::vector<std::shared_ptr<KLNetSocket>> readableFreshSockets(Attempt& attempt);
    // The first datagram on a fresh socket: answer it and start a confirmation wait. False when the
    // source was already answered (at the originator) or the datagram could not be read.
    bool createRemotePeerFromInboundSocket(TunnexPeer& peer, Attempt& attempt, const std::shared_ptr<KLNetSocket>& socket);
    // What a confirmation wait heard, carried out on the peer's queue.
    void actOnFreshSocketWord(const std::shared_ptr<TunnexPeer>& peer, const TunnexConfirmationWatcher::Wait& wait,
                              const TunnexConfirmationWatcher::Heard& heard);
    // The completion's steps on the peer's queue (TunnexHolePunchCompletion.cpp): the handoff
    // loop let go of the socket, UDT's rendezvous connect, the main channel handed over.
    void completeConnectionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                    const std::shared_ptr<TunnexRemotePeer>& remote,
                                    const std::shared_ptr<CompletionToken>& token);
    void awaitTunnelSocketQuiet(const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<TunnexRemotePeer>& remote,
                                const std::shared_ptr<CompletionToken>& token, int check);
    void connectMainChannel(const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<TunnexRemotePeer>& remote,
                            const std::shared_ptr<CompletionToken>& token);
    void mainChannelConnected(const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<TunnexRemotePeer>& remote,
                              const TunnexResult<int>& udtSocket);

    const Timing timing_;
    const std::weak_ptr<TunnexContext> context_;
    // Shared with the steps, which may outlive this object on a peer's queue.
    const std::shared_ptr<std::atomic<size_t>> pendingCompletions_ = std::make_shared<std::atomic<size_t>>(0);
    const std::shared_ptr<std::atomic<size_t>> runningAttempts_ = std::make_shared<std::atomic<size_t>>(0);
    // Set once by create; destroyed (its thread joined) with this object.
    std::unique_ptr<TunnexConfirmationWatcher> watcher_;
};

}  // namespace kl
