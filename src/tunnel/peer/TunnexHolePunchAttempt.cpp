// One hole-punch attempt: the punch rounds from the handoff socket and from fresh sockets, the
// answers on fresh sockets and their confirmation waits.
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/peer/TunnexHolePunch.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/protocol/TunnexHolePunchCodec.h"
#include "tunnel/protocol/TunnexHolePunchHandshake.h"
#include "tunnel/peer/TunnexHolePunchSupport.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

struct TunnexHolePunch::Attempt {
    std::shared_ptr<TunnexPeer> peer;
    std::shared_ptr<TunnexTransaction> transaction;
    std::shared_ptr<TunnexRemotePeer> remote;
    std::shared_ptr<KLNetSocket> handoff;
    TunnexAhoy ahoy{};
    sockaddr_in advertised{};
    // Every fresh socket of the attempt in creation order, and those that answered a datagram.
    std::vector<std::shared_ptr<KLNetSocket>> freshSockets;
    std::vector<std::shared_ptr<KLNetSocket>> answered;
    size_t duplicatePorts = 0;
};

struct TunnexHolePunch::ConfirmationWait {
    std::shared_ptr<KLNetSocket> socket;
    std::shared_ptr<TunnexRemotePeer> potentialPeer;  // points at the source of the last datagram
    bool originator = false;
    std::shared_ptr<TunnexTransaction> transaction;
    std::weak_ptr<TunnexPeer> peer;
};

namespace {

constexpr size_t kReceiveBufferSize = 65536;

void sendNow(const std::shared_ptr<KLNetSocket>& socket, const TunnexAhoy& ahoy, const sockaddr_in& to,
             const char* via) {
    if (!socket) return;
    tunnexSendDatagram(*socket, ahoy, to);  // a failure is logged by the socket; the spraying goes on
    if (logLevelEnabled(kKLTLoggingLevelVerbose)) {
        KLLog(kKLTLoggingLevelVerbose, "sending AHOY via %s socket to %s : %d", via,
              AddressString(&to).value_or("").c_str(), int(ntohs(to.sin_port)));
    }
}

// One datagram from a socket that has one waiting; the byte count, or -1.
ssize_t receiveOne(KLNetSocket& socket, std::vector<uint8_t>& buffer, sockaddr_in& source) {
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const ssize_t received = ::recvfrom(socket.sock(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0 || from.ss_family != AF_INET) return -1;
    std::memcpy(&source, &from, sizeof source);
    return received;
}

const char* yesNo(bool value) { return value ? "YES" : "NO"; }

}  // namespace

// --- the attempt ---

void TunnexHolePunch::connectWithTransaction(const std::shared_ptr<TunnexPeer>& peer,
                                             const std::shared_ptr<TunnexTransaction>& transaction) {
    Attempt attempt;
    attempt.peer = peer;
    attempt.transaction = transaction;
    attempt.remote = transaction ? transaction->remotePeer() : nullptr;
    KLLog(kKLTLoggingLevelDebug, "entering %s for remotePeer: %p", "connectWithTransaction:",
          static_cast<void*>(attempt.remote.get()));
    if (!peer || !attempt.remote) return;
    auto& remote = attempt.remote;

    const auto known = remote->knownAddresses();
    KLLog(kKLTLoggingLevelDebug, "Logging accumulated (%zu) local addresses", known.size());
    for (const auto& address : known) {
        KLLog(kKLTLoggingLevelDebug, "%s",
              AddressPortString(reinterpret_cast<const sockaddr_in*>(&address.address())).value_or("").c_str());
    }
    peer->setConnectionStatus(TunnexTunnelConnecting);
    if (auto manager = peer->context().manager()) manager->dispatchReportConnectionStatus(TunnexTunnelConnecting, remote->UUID());

    {
        // The registration passes to a new peer on a new socket; this one keeps its socket, which
        // is the one the server introduced to the remote. A peer that no longer holds the
        // registration has nothing to pass on.
        TunnexPeer::recycleRegisteredTunnexPeer(peer);
    }
    peer->setStunPeer(remote);

    const int64_t transactionId = transaction->transactionId();
    remote->setAttemptTransactionId(transactionId);
    const auto deadline = std::chrono::steady_clock::now() + timing_.attemptLimit;
    attempt.ahoy = tunnexBuildAhoy(transactionId, tunnexIsOriginatorFor(peer->sharedContext(), transactionId));
    attempt.advertised = tunnexRemoteAddressOf(remote);
    attempt.handoff = peer->handoffSocket();

    if (!remote->hasPeerAddress()) {
        if (attempt.advertised.sin_family != AF_INET) {
            KLLog(kKLTLoggingLevelError, "Remote peer has no IPv4 address to punch toward");
        } else {
            punch(attempt);
        }
    }

    KLLog(kKLTLoggingLevelInfo, "Closing connect sockets.  self.cancel: %s", yesNo(peer->cancel()));
    for (auto& socket : attempt.freshSockets) {
        if (std::find(attempt.answered.begin(), attempt.answered.end(), socket) == attempt.answered.end()) {
            socket->close();
        }
    }
    attempt.freshSockets.clear();

    // Either side answers every AHOY, so repeating it toward the learned address until a
    // completion starts makes good any answer the network lost.
    while (!peer->cancel() && !peer->connectionCompletionInitiated() && std::chrono::steady_clock::now() < deadline) {
        if (remote->hasPeerAddress()) sendNow(attempt.handoff, attempt.ahoy, tunnexRemoteAddressOf(remote), "handoff");
        std::this_thread::sleep_for(timing_.repeatInterval);
    }
    if (peer->connectionCompletionInitiated()) return;
    KLLog(kKLTLoggingLevelError, "Hole punch for transaction %lld ended without a connection", (long long)transactionId);
    transaction->finish();
    peer->setCancel(true);
    peer->failedToConnectWithRemotePeer(remote);
}

void TunnexHolePunch::punch(Attempt& attempt) {
    auto& peer = attempt.peer;
    auto& remote = attempt.remote;
    const sockaddr_in advertised = attempt.advertised;
    KLLog(kKLTLoggingLevelDebug, "Sending to advertised address and port pair (%s) first",
          tunnexSenderText(advertised).c_str());
    sendNow(attempt.handoff, attempt.ahoy, advertised, "handoff");
    KLLog(kKLTLoggingLevelInfo, "Blasting UDP packets out to %s", AddressString(&advertised).value_or("").c_str());

    std::mt19937 generator{std::random_device{}()};
    std::set<uint16_t> drawnPorts;
    const auto pause = [this] { std::this_thread::sleep_for(timing_.sendPause); };
    for (int round = 0; round < timing_.rounds; ++round) {
        // A completion under way owns the path now: more datagrams would only reach its UDT.
        if (peer->cancel() || peer->connectionCompletionInitiated()) break;
        auto fresh = KLNetSocket::initUDPClientWithFamily(AF_INET);
        if (!fresh) {
            KLLog(kKLTLoggingLevelError, "Error allocating socket for connection");
            peer->setCancel(true);
            break;
        }
        fresh->setDelegate(peer);
        attempt.freshSockets.push_back(fresh);

        sockaddr_in drawn = advertised;
        const uint16_t port = tunnexPunchPort(uint32_t(generator()));
        if (!drawnPorts.insert(port).second) ++attempt.duplicatePorts;
        drawn.sin_port = htons(port);

        sendNow(fresh, attempt.ahoy, drawn, "new");
        pause();
        sendNow(fresh, attempt.ahoy, advertised, "new");
        pause();
        if (tunnexPunchRoundSendsToAdvertised(round)) sendNow(attempt.handoff, attempt.ahoy, advertised, "handoff");
        pause();
        sendNow(attempt.handoff, attempt.ahoy, drawn, "handoff");
        // The addresses the remote reported of its own interfaces reach it on a shared LAN.
        for (const auto& known : remote->knownAddresses()) {
            if (known.address().ss_family != AF_INET || !attempt.handoff) continue;
            tunnexSendDatagram(*attempt.handoff, attempt.ahoy, *reinterpret_cast<const sockaddr_in*>(&known.address()));
        }
        if (remote->hasPeerAddress()) break;

        if (tunnexPunchRoundPolls(round)) {
            const float fraction = float(round) / float(kTunnexPunchRounds);
            peer->reportConnectStage(1, fraction);
            KLLog(kKLTLoggingLevelInfo, "portAttemptProgress: %f", double(fraction));
            for (auto& socket : readableFreshSockets(attempt, timing_.roundPoll)) {
                if (createRemotePeerFromInboundSocket(attempt, socket)) attempt.answered.push_back(socket);
            }
            if (!attempt.answered.empty()) break;
        }
    }
    KLLog(kKLTLoggingLevelDebug, "Duplicate port count: %zu     ratio: %f", attempt.duplicatePorts,
          double(attempt.duplicatePorts) / double(kTunnexPunchRounds));
    if (!remote->hasPeerAddress() && attempt.answered.empty() && !peer->cancel()) {
        for (auto& socket : readableFreshSockets(attempt, timing_.finalPoll)) {
            if (createRemotePeerFromInboundSocket(attempt, socket)) attempt.answered.push_back(socket);
        }
    }
}

std::vector<std::shared_ptr<KLNetSocket>> TunnexHolePunch::readableFreshSockets(Attempt& attempt,
                                                                                std::chrono::milliseconds wait) {
    std::vector<pollfd> descriptors;
    descriptors.reserve(attempt.freshSockets.size());
    for (const auto& socket : attempt.freshSockets) descriptors.push_back({socket->sock(), POLLIN, 0});
    std::vector<std::shared_ptr<KLNetSocket>> readable;
    if (descriptors.empty()) return readable;
    const int ready = ::poll(descriptors.data(), descriptors.size(), int(wait.count()));
    if (ready <= 0) return readable;
    for (size_t i = 0; i < descriptors.size(); ++i) {
        if (descriptors[i].revents & POLLIN) readable.push_back(attempt.freshSockets[i]);
    }
    return readable;
}

bool TunnexHolePunch::createRemotePeerFromInboundSocket(Attempt& attempt, const std::shared_ptr<KLNetSocket>& socket) {
    std::vector<uint8_t> buffer(kReceiveBufferSize);
    sockaddr_in source{};
    const ssize_t received = receiveOne(*socket, buffer, source);
    if (received < 0) return false;

    // Only a record of this attempt from an address its invitation named opens a path.
    const TunnexPeerDatagram datagram = classifyTunnexDatagram(std::span(buffer.data(), size_t(received)));
    if (!datagram.isRecord || datagram.transactionId != attempt.transaction->transactionId() ||
        !attempt.transaction->invitationNames(source)) {
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
    const int64_t transactionId = attempt.transaction->transactionId();
    transaction->setTransactionId(transactionId);
    transaction->setRemotePeer(provisional);
    const bool originator = tunnexIsOriginatorFor(attempt.peer->sharedContext(), transactionId);
    transaction->setIsOriginator(originator);

    const std::string sourceText = tunnexSenderText(source);
    KLLog(kKLTLoggingLevelInfo, "Received AUX HELLO message.  Peer is coming from %s", sourceText.c_str());
    KLLog(kKLTLoggingLevelDebug, "Previous connection attempts: %zu", attempt.peer->connectionAttempts().size());
    if (!attempt.peer->noteConnectionAttempt(sourceText, socket, originator)) {
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
    startConfirmationWait({socket, provisional, originator, attempt.transaction, attempt.peer});
    return true;
}

// --- confirmation waits ---

void TunnexHolePunch::startConfirmationWait(ConfirmationWait wait) {
    reapConfirmationWaits();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(waitsMutex_);
    // The thread belongs to this object, which joins it when it goes.
    waits_.push_back({std::jthread([this, wait = std::move(wait), done](std::stop_token stop) {
                          waitForConfirmation(wait, stop);
                          done->store(true);
                      }),
                      done});
}

void TunnexHolePunch::reapConfirmationWaits() {
    std::list<WaitThread> finished;
    {
        std::lock_guard lock(waitsMutex_);
        for (auto it = waits_.begin(); it != waits_.end();) {
            auto next = std::next(it);
            if (it->done->load()) finished.splice(finished.end(), waits_, it);
            it = next;
        }
    }
    // Joined here, outside the lock: each has finished or is about to.
}

void TunnexHolePunch::waitForConfirmation(const ConfirmationWait& wait, std::stop_token stop) {
    const auto& transaction = wait.transaction;
    const int64_t transactionId = transaction->transactionId();
    const int descriptor = wait.socket->sock();
    KLLog(kKLTLoggingLevelDebug, "%s on socket: %d    originator: %s", "waitForConfirmationWithDictionary:", descriptor,
          yesNo(wait.originator));

    std::vector<uint8_t> buffer(kReceiveBufferSize);
    bool settled = false;  // a confirmation, an acceptance or the remote's UDT ended the wait
    for (int silence = timing_.confirmationPolls; silence > 0 && !settled && !stop.stop_requested();) {
        pollfd descriptors[2] = {{descriptor, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(descriptors, wakeFd_ >= 0 ? 2 : 1, int(timing_.confirmationPoll.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (descriptors[0].revents & (POLLERR | POLLNVAL)) || descriptors[1].revents) break;
        if (ready == 0) {
            --silence;
            continue;
        }
        sockaddr_in source{};
        const ssize_t received = receiveOne(*wait.socket, buffer, source);
        if (received < 0) continue;
        // A stranger's datagram, or one of another attempt, moves nothing.
        const TunnexPeerDatagram datagram = classifyTunnexDatagram(std::span(buffer.data(), size_t(received)));
        const bool udt = datagram.kind == TunnexDatagramKind::UDTPacket;
        if (!transaction->invitationNames(source) || (!udt && (!datagram.isRecord || datagram.transactionId != transactionId))) {
            KLLog(kKLTLoggingLevelDebug, "Datagram %04x from %s ignored while waiting for confirmation",
                  unsigned(datagram.magic), tunnexSenderText(source).c_str());
            continue;
        }
        silence = timing_.confirmationPolls;
        const sockaddr_in answered = tunnexRemoteAddressOf(wait.potentialPeer);
        const bool fromAnswered =
            answered.sin_addr.s_addr == source.sin_addr.s_addr && answered.sin_port == source.sin_port;
        sockaddr_storage address{};
        std::memcpy(&address, &source, sizeof source);
        wait.potentialPeer->setAddress(address);
        wait.potentialPeer->setPort(ntohs(source.sin_port));

        auto peer = wait.peer.lock();
        if (!peer) break;
        TunnexHolePunchWord word = TunnexHolePunchWord::Ahoy;
        if (datagram.kind == TunnexDatagramKind::Confirm) word = TunnexHolePunchWord::Confirm;
        if (datagram.kind == TunnexDatagramKind::Accept) word = TunnexHolePunchWord::Accept;
        if (udt) word = TunnexHolePunchWord::TransportHandshake;
        TunnexHolePunchFacts facts;
        facts.originator = wait.originator;
        facts.fromConfirmedEndpoint = fromAnswered;
        const auto decision = decideTunnexHolePunch(word, TunnexHolePunchPath::Fresh, facts);
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
            sendLater(wait.socket, tunnexAcknowledgementBytes(context(), transactionId, kTunnexPeerAcceptMsg), source,
                      "Failed to send acknowledgement");
        }
        if (decision.complete) {
            if (word == TunnexHolePunchWord::TransportHandshake) {
                KLLog(kKLTLoggingLevelInfo, "Remote's transport started: taken as its acceptance");
            }
            dispatchCompleteConnectionWithPeer(peer, wait.potentialPeer);
        }
        settled = decision.endsWait;
    }
    // Silence or an error: the socket is of no further use. Otherwise it stays open for the
    // completion that may run on it.
    if (!settled) wait.socket->close();
}

}  // namespace kl
