// src/tunnel/peer: one tunnel peer per remote machine: rendezvous registration, hole punching,
// the main channel and its data channels, the peer's operation queue and transactions.
//
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
// Threads: an attempt (connectWithTransaction) occupies one global-queue worker for its rounds and
// waits; each answered fresh socket gets a confirmation wait on a thread this object owns (woken
// and joined when it is destroyed); a completion runs on the remote record's serial queue, at most
// one per peer; every sender sends from a global-queue block so its caller never waits.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "tunnel/peer/TunnexPeerConnectionLayer.h"

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
    bool sendMainChannelMessage(const std::shared_ptr<TunnexPeer>& peer, const Bytes& message) override;

    // ACCEPT word; nothing in the handshake sends it.
    void acceptSocket(const std::shared_ptr<KLNetSocket>& socket, const std::shared_ptr<TunnexRemotePeer>& remote,
                      const sockaddr_in& to);

    // The completion on the remote's serial queue: UDT rendezvous connect on the remote's tunnel
    // socket and the main channel handed to the socket manager.
    void completeConnectionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                    const std::shared_ptr<TunnexRemotePeer>& remote);

    // Confirmation waits still running, and completions queued or running.
    size_t runningConfirmationWaits();
    size_t pendingCompletions() const { return pendingCompletions_.load(); }

private:
    struct Attempt;
    struct ConfirmationWait;

    TunnexHolePunch(Timing timing, std::weak_ptr<TunnexContext> context);
    // The context this layer serves: its manager, its machine UUID.
    std::shared_ptr<TunnexContext> context() const;

    // Sends one datagram from a global-queue block.
    void sendLater(const std::shared_ptr<KLNetSocket>& socket, std::vector<uint8_t> bytes, const sockaddr_in& to,
                   const char* failureLine);
    // The rounds of an attempt; returns when the rounds end.
    void punch(Attempt& attempt);
    // Polls the attempt's fresh sockets (poll(2)); the readable ones in creation order.
    std::vector<std::shared_ptr<KLNetSocket>> readableFreshSockets(Attempt& attempt, std::chrono::milliseconds wait);
    // The first datagram on a fresh socket: answer it and start a confirmation wait. False when the
    // source was already answered (at the originator) or the datagram could not be read.
    bool createRemotePeerFromInboundSocket(Attempt& attempt, const std::shared_ptr<KLNetSocket>& socket);
    void waitForConfirmation(const ConfirmationWait& wait, std::stop_token stop);
    void startConfirmationWait(ConfirmationWait wait);
    void reapConfirmationWaits();

    const Timing timing_;
    const std::weak_ptr<TunnexContext> context_;
    std::atomic<size_t> pendingCompletions_{0};
    // Raised to wake every confirmation wait when this object goes.
    int wakeFd_ = -1;

    std::mutex waitsMutex_;
    struct WaitThread {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<WaitThread> waits_;  // guarded by waitsMutex_
};

}  // namespace kl
