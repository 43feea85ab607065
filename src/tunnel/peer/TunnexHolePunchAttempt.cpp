// One hole-punch attempt: the punch rounds from the handoff socket and from fresh sockets, and the
// answers on fresh sockets, whose confirmation waits go to the watcher. The rounds, the polls and
// the waits after them run as steps on the peer's queue, paced by timers; no thread sleeps for them.
#include <poll.h>

#include <cstring>
#include <random>
#include <set>

#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/peer/TunnexHolePunch.h"
#include "tunnel/peer/TunnexConfirmationWatcher.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/protocol/TunnexHolePunchCodec.h"
#include "tunnel/protocol/TunnexHolePunchHandshake.h"
#include "tunnel/protocol/TunnexHolePunchPacer.h"
#include "tunnel/peer/TunnexHolePunchSupport.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

// One attempt's state, carried from step to step on the peer's queue (each step is queue work
// or a timer there). It holds the peer weakly: a peer that goes ends its attempt.
struct TunnexHolePunch::Attempt {
    Attempt(std::shared_ptr<std::atomic<size_t>> runningAttempts, const TunnexHolePunchTiming& timing)
        : running(std::move(runningAttempts)),
          pacer({timing.rounds, timing.sendPause, timing.roundPoll, timing.finalPoll, timing.attemptLimit,
                 timing.repeatInterval}) {}

    Counted running;
    std::shared_ptr<TunnexTransaction> transaction;
    std::shared_ptr<TunnexRemotePeer> remote;
    std::shared_ptr<KLNetSocket> handoff;
    TunnexAhoy ahoy{};
    sockaddr_in advertised{};
    // What is due when; the steps carry out what it says.
    TunnexHolePunchPacer pacer;
    // Every fresh socket of the attempt in creation order, and those that answered a datagram.
    std::vector<std::shared_ptr<KLNetSocket>> freshSockets;
    std::vector<std::shared_ptr<KLNetSocket>> answered;
    std::mt19937 generator{std::random_device{}()};
    std::set<uint16_t> drawnPorts;
    size_t duplicatePorts = 0;
    bool freshSocketFailed = false;
    // The round under way: its fresh socket and the port it drew.
    std::shared_ptr<KLNetSocket> fresh;
    sockaddr_in drawn{};
};

namespace {

void sendNow(const std::shared_ptr<KLNetSocket>& socket, const TunnexAhoy& ahoy, const sockaddr_in& to,
             const char* via) {
    if (!socket) return;
    tunnexSendDatagram(*socket, ahoy, to);  // a failure is logged by the socket; the spraying goes on
    if (logLevelEnabled(kKLTLoggingLevelVerbose)) {
        KLLog(kKLTLoggingLevelVerbose, "sending AHOY via %s socket to %s : %d", via,
              AddressString(&to).value_or("").c_str(), int(ntohs(to.sin_port)));
    }
}

const char* yesNo(bool value) { return value ? "YES" : "NO"; }

}  // namespace

size_t TunnexHolePunch::runningAttempts() const { return runningAttempts_->load(); }

// --- the attempt: steps on the peer's queue ---

void TunnexHolePunch::nextStep(const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<Attempt>& attempt,
                               Duration delay, void (TunnexHolePunch::*step)(TunnexPeer&, const std::shared_ptr<Attempt>&)) {
    std::weak_ptr<TunnexHolePunch> weak = weak_from_this();
    auto task = [weak, attempt, step](const std::shared_ptr<TunnexPeer>& peer) {
        if (auto self = weak.lock()) (self.get()->*step)(*peer, attempt);
    };
    if (delay <= Duration::zero()) {
        peer->postToQueue(std::move(task));
    } else {
        peer->postToQueueAfter(delay, std::move(task));
    }
}

void TunnexHolePunch::connectWithTransaction(const std::shared_ptr<TunnexPeer>& peer,
                                             const std::shared_ptr<TunnexTransaction>& transaction) {
    auto remote = transaction ? transaction->remotePeer() : nullptr;
    KLLog(kKLTLoggingLevelDebug, "entering %s for remotePeer: %p", "connectWithTransaction:",
          static_cast<void*>(remote.get()));
    if (!peer || !remote) return;
    auto attempt = std::make_shared<Attempt>(runningAttempts_, timing_);
    attempt->transaction = transaction;
    attempt->remote = std::move(remote);
    nextStep(peer, attempt, Duration::zero(), &TunnexHolePunch::beginAttempt);
}

void TunnexHolePunch::beginAttempt(TunnexPeer& peer, const std::shared_ptr<Attempt>& attempt) {
    peer.assertOnQueue("connectWithTransaction");
    auto& remote = attempt->remote;
    const auto known = remote->knownAddresses();
    KLLog(kKLTLoggingLevelDebug, "Logging accumulated (%zu) local addresses", known.size());
    for (const auto& address : known) {
        KLLog(kKLTLoggingLevelDebug, "%s",
              AddressPortString(reinterpret_cast<const sockaddr_in*>(&address.address())).value_or("").c_str());
    }
    peer.setConnectionStatus(TunnexTunnelConnecting);
    if (auto manager = peer.context().manager()) manager->dispatchReportConnectionStatus(TunnexTunnelConnecting, remote->UUID());

    auto self = peer.shared_from_this();
    {
        // The registration passes to a new peer on a new socket; this one keeps its socket, which
        // is the one the server introduced to the remote. A peer that no longer holds the
        // registration has nothing to pass on.
        TunnexPeer::recycleRegisteredTunnexPeer(self);
    }
    peer.setStunPeer(remote);

    const int64_t transactionId = attempt->transaction->transactionId();
    remote->setAttemptTransactionId(transactionId);
    attempt->ahoy = tunnexBuildAhoy(transactionId, tunnexIsOriginatorFor(peer.sharedContext(), transactionId));
    attempt->advertised = tunnexRemoteAddressOf(remote);
    attempt->handoff = peer.handoffSocket();
    paceAttempt(peer, attempt);
}

// Asks the pacer what is due and carries it out, for as long as its steps follow at once; then
// arms one timer for its deadline, or ends the attempt.
void TunnexHolePunch::paceAttempt(TunnexPeer& peer, const std::shared_ptr<Attempt>& attempt) {
    for (;;) {
        const TunnexHolePunchPacer::Facts facts{
            .cancelled = peer.cancel(),
            .completionStarted = peer.connectionCompletionInitiated(),
            .remoteAddressKnown = attempt->remote->hasPeerAddress(),
            .advertisedUsable = attempt->advertised.sin_family == AF_INET,
            .answersFound = !attempt->answered.empty(),
            .freshSocketFailed = attempt->freshSocketFailed,
        };
        const auto now = std::chrono::steady_clock::now();
        const TunnexHolePunchPacer::Step step = attempt->pacer.next(now, facts);
        carryOut(peer, *attempt, step);
        if (step.then == TunnexHolePunchPacer::Then::AtOnce) continue;
        if (step.then == TunnexHolePunchPacer::Then::At) {
            nextStep(peer.shared_from_this(), attempt, step.at - now, &TunnexHolePunch::paceAttempt);
        }
        return;
    }
}

void TunnexHolePunch::carryOut(TunnexPeer& peer, Attempt& attempt, const TunnexHolePunchPacer::Step& step) {
    using Action = TunnexHolePunchPacer::Action;
    switch (step.action) {
        case Action::Wait:
            break;
        case Action::SendFirst:
            KLLog(kKLTLoggingLevelDebug, "Sending to advertised address and port pair (%s) first",
                  tunnexSenderText(attempt.advertised).c_str());
            sendNow(attempt.handoff, attempt.ahoy, attempt.advertised, "handoff");
            KLLog(kKLTLoggingLevelInfo, "Blasting UDP packets out to %s",
                  AddressString(&attempt.advertised).value_or("").c_str());
            break;
        case Action::NoRoute:
            KLLog(kKLTLoggingLevelError, "Remote peer has no IPv4 address to punch toward");
            break;
        case Action::OpenRound:
            openRound(peer, attempt);
            break;
        case Action::SendFreshToAdvertised:
            sendNow(attempt.fresh, attempt.ahoy, attempt.advertised, "new");
            break;
        case Action::SendHandoffToAdvertised:
            sendNow(attempt.handoff, attempt.ahoy, attempt.advertised, "handoff");
            break;
        case Action::SprayRound:
            sendNow(attempt.handoff, attempt.ahoy, attempt.drawn, "handoff");
            // The addresses the remote reported of its own interfaces reach it on a shared LAN.
            for (const auto& known : attempt.remote->knownAddresses()) {
                if (known.address().ss_family != AF_INET || !attempt.handoff) continue;
                tunnexSendDatagram(*attempt.handoff, attempt.ahoy, *reinterpret_cast<const sockaddr_in*>(&known.address()));
            }
            break;
        case Action::PollRound:
            peer.reportConnectStage(1, step.fraction);
            KLLog(kKLTLoggingLevelInfo, "portAttemptProgress: %f", double(step.fraction));
            takeAnswers(peer, attempt);
            break;
        case Action::EndRounds:
            attempt.fresh.reset();
            KLLog(kKLTLoggingLevelDebug, "Duplicate port count: %zu     ratio: %f", attempt.duplicatePorts,
                  double(attempt.duplicatePorts) / double(kTunnexPunchRounds));
            break;
        case Action::FinalPoll:
            // One last look for answers, a moment long; checked in short ticks, so the queue stays free.
            takeAnswers(peer, attempt);
            break;
        case Action::CloseUnanswered:
            closeUnansweredSockets(peer, attempt);
            break;
        case Action::RepeatAhoy:
            sendNow(attempt.handoff, attempt.ahoy, tunnexRemoteAddressOf(attempt.remote), "handoff");
            break;
        case Action::Fail:
            KLLog(kKLTLoggingLevelError, "Hole punch for transaction %lld ended without a connection",
                  (long long)attempt.transaction->transactionId());
            attempt.transaction->finish();
            peer.setCancel(true);
            peer.failedToConnectWithRemotePeer(attempt.remote);
            break;
    }
}

void TunnexHolePunch::openRound(TunnexPeer& peer, Attempt& attempt) {
    auto fresh = KLNetSocket::initUDPClientWithFamily(AF_INET);
    if (!fresh) {
        KLLog(kKLTLoggingLevelError, "Error allocating socket for connection");
        peer.setCancel(true);
        attempt.freshSocketFailed = true;
        return;
    }
    fresh->setDelegate(peer.shared_from_this());
    attempt.freshSockets.push_back(fresh);
    attempt.fresh = fresh;

    attempt.drawn = attempt.advertised;
    const uint16_t port = tunnexPunchPort(uint32_t(attempt.generator()));
    if (!attempt.drawnPorts.insert(port).second) ++attempt.duplicatePorts;
    attempt.drawn.sin_port = htons(port);
    sendNow(fresh, attempt.ahoy, attempt.drawn, "new");
}

void TunnexHolePunch::takeAnswers(TunnexPeer& peer, Attempt& attempt) {
    for (auto& socket : readableFreshSockets(attempt)) {
        if (createRemotePeerFromInboundSocket(peer, attempt, socket)) attempt.answered.push_back(socket);
    }
}

void TunnexHolePunch::closeUnansweredSockets(TunnexPeer& peer, Attempt& attempt) {
    KLLog(kKLTLoggingLevelInfo, "Closing connect sockets.  self.cancel: %s", yesNo(peer.cancel()));
    for (auto& socket : attempt.freshSockets) {
        if (std::find(attempt.answered.begin(), attempt.answered.end(), socket) == attempt.answered.end()) {
            socket->close();
        }
    }
    attempt.freshSockets.clear();
    attempt.answered.clear();
}

std::vector<std::shared_ptr<KLNetSocket>> TunnexHolePunch::readableFreshSockets(Attempt& attempt) {
    std::vector<pollfd> descriptors;
    descriptors.reserve(attempt.freshSockets.size());
    for (const auto& socket : attempt.freshSockets) descriptors.push_back({socket->sock(), POLLIN, 0});
    std::vector<std::shared_ptr<KLNetSocket>> readable;
    if (descriptors.empty()) return readable;
    if (::poll(descriptors.data(), descriptors.size(), 0) <= 0) return readable;
    for (size_t i = 0; i < descriptors.size(); ++i) {
        if (descriptors[i].revents & POLLIN) readable.push_back(attempt.freshSockets[i]);
    }
    return readable;
}

bool TunnexHolePunch::createRemotePeerFromInboundSocket(TunnexPeer& peer, Attempt& attempt,
                                                        const std::shared_ptr<KLNetSocket>& socket) {
    std::vector<uint8_t> buffer(kTunnexDatagramBufferSize);
    sockaddr_in source{};
    const ssize_t received = tunnexReceiveDatagram(*socket, buffer, source);
    if (received < 0) return false;

    // Only a record of this attempt from an address its invitation named opens a path. An AHOY in
    // this side's own role is one of ours that reached another of our sockets (the remote shares
    // this host or a hairpinning NAT with us): answering it would connect this side to itself.
    const TunnexPeerDatagram datagram = classifyTunnexDatagram(std::span(buffer.data(), size_t(received)));
    const int64_t transactionId = attempt.transaction->transactionId();
    const bool originator = tunnexIsOriginatorFor(peer.sharedContext(), transactionId);
    if (!datagram.isRecord || datagram.transactionId != transactionId || !attempt.transaction->invitationNames(source) ||
        datagram.magic == tunnexAhoyMagic(originator)) {
        KLLog(kKLTLoggingLevelDebug, "Datagram %04x from %s on a fresh socket ignored", unsigned(datagram.magic),
              tunnexSenderText(source).c_str());
        return false;
    }
    auto original = attempt.transaction->remotePeer();
    auto provisional = std::make_shared<TunnexRemotePeer>();
    sockaddr_storage address{};
    std::memcpy(&address, &source, sizeof source);
    provisional->setAddress(address);
    provisional->setPort(ntohs(source.sin_port));
    provisional->setHasPeerAddress(true);
    provisional->setTunnelSocket(socket);
    provisional->setAttemptTransactionId(attempt.transaction->transactionId());
    if (original) {
        provisional->setUDID(original->UDID());
        provisional->setUUID(original->UUID());
    }
    auto transaction = std::make_shared<TunnexTransaction>();
    transaction->setTransactionId(transactionId);
    transaction->setRemotePeer(provisional);
    transaction->setIsOriginator(originator);

    const std::string sourceText = tunnexSenderText(source);
    KLLog(kKLTLoggingLevelInfo, "Received AUX HELLO message.  Peer is coming from %s", sourceText.c_str());
    KLLog(kKLTLoggingLevelDebug, "Previous connection attempts: %zu", peer.connectionAttempts().size());
    if (!peer.noteConnectionAttempt(sourceText, socket, originator)) {
        KLLog(kKLTLoggingLevelDebug, "Aux HELLO message from %s is a duplicate.", sourceText.c_str());
        return false;
    }
    if (originator) {
        KLLog(kKLTLoggingLevelInfo, "Responding with AHOY to peer");
        ahoySocket(socket, transaction);
    } else {
        KLLog(kKLTLoggingLevelInfo, "Responding with CONFIRM to peer");
        acknowledgeSocket(socket, transaction, kTunnexPeerConfirmMsg);
    }
    watcher_->add({socket, provisional, originator, attempt.transaction, peer.weak_from_this()});
    return true;
}

// --- what a confirmation wait heard ---

void TunnexHolePunch::actOnFreshSocketWord(const std::shared_ptr<TunnexPeer>& peer,
                                           const TunnexConfirmationWatcher::Wait& wait,
                                           const TunnexConfirmationWatcher::Heard& heard) {
    peer->assertOnQueue("actOnFreshSocketWord");
    const TunnexHolePunchWord word = heard.word;
    const TunnexHolePunchDecision& decision = heard.decision;
    const auto& transaction = wait.transaction;
    if (word == TunnexHolePunchWord::Confirm) KLLog(kKLTLoggingLevelInfo, "Received CONFIRM");
    if (word == TunnexHolePunchWord::Accept) {
        KLLog(kKLTLoggingLevelInfo, "Received ACCEPT");
        KLLog(kKLTLoggingLevelInfo, "Canceling listening on tunnel socket");
        if (auto stun = peer->stunPeer()) {
            if (auto tunnelSocket = stun->tunnelSocket()) tunnelSocket->setCancel(true);
        }
    }
    if (decision.markWaitingForAcceptance) transaction->setIsWaitingForAcceptance(true);
    if (decision.reply == TunnexHolePunchDecision::Reply::Accept) {
        sendLater(wait.socket, tunnexAcknowledgementBytes(context(), transaction->transactionId(), kTunnexPeerAcceptMsg),
                  heard.source, "Failed to send acknowledgement");
    }
    if (decision.complete) {
        if (word == TunnexHolePunchWord::TransportHandshake) {
            KLLog(kKLTLoggingLevelInfo, "Remote's transport started: taken as its acceptance");
        }
        dispatchCompleteConnectionWithPeer(peer, wait.potentialPeer);
    }
}

}  // namespace kl
