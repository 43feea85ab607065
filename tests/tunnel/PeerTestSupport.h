// Helpers of the tunnel peer tests: recording stand-ins for the tunnel manager, the connection layer
// and the delegates, and a raw "other host" that talks to the rendezvous stand-in.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "TunnelTestSupport.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexTransaction.h"

namespace kl::test {

inline const std::string kPeerKeyHex = "00112233445566778899aabbccddeeff";

// The tunnel manager's side as the peer sees it: a transaction table and counters.
class RecordingManager : public TunnexPeerManagerLink {
public:
    void fulfillNextQueuedConnection() override { ++fulfilled; }
    void registerTimeoutForPeer(const std::shared_ptr<TunnexPeer>&) override { ++timeoutsRegistered; }
    bool isOriginatorForTransactionId(int64_t id) override {
        auto transaction = transactionForTransactionId(id);
        return transaction && transaction->isOriginator();
    }
    std::shared_ptr<TunnexTransaction> transactionForTransactionId(int64_t id) override {
        std::lock_guard lock(mutex);
        auto found = transactions.find(id);
        return found == transactions.end() ? nullptr : found->second;
    }
    void registerTransaction(const std::shared_ptr<TunnexTransaction>& transaction) override {
        std::lock_guard lock(mutex);
        transactions[transaction->transactionId()] = transaction;
        ++transactionsRegistered;
    }
    std::shared_ptr<TunnexRemotePeer> updateRegistrationWithPeer(const std::shared_ptr<TunnexRemotePeer>& remote) override {
        std::lock_guard lock(mutex);
        registeredRemotes.push_back(remote);
        return remote;
    }
    std::vector<std::shared_ptr<TunnexPeer>> activePeers() override { return {}; }
    std::shared_ptr<TunnexTransaction> nextTransactionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                               const std::shared_ptr<TunnexRemotePeer>& remote) override {
        if (!makeTransactions) return nullptr;
        auto transaction = originate(nextTransactionId++, remote);
        transaction->setPeer(peer);
        ++transactionsMade;
        return transaction;
    }
    void assignPeerToRemote(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexRemotePeer>&) override {
        ++assignments;
    }
    void markStartForRemoteUUID(const std::string&) override { ++startsMarked; }
    void reportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) override {
        std::lock_guard lock(mutex);
        reports.emplace_back(uuid, status);
    }
    // De-duplicated as the tunnel manager does, but reported synchronously.
    void dispatchReportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) override {
        {
            std::lock_guard lock(mutex);
            auto found = lastStatus.find(uuid);
            const bool changed = found == lastStatus.end() || found->second != status;
            lastStatus[uuid] = status;
            if (!changed) return;
        }
        reportConnectionStatus(status, uuid);
    }
    void peerDidConnectToRemote(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexRemotePeer>&) override {
        ++connects;
    }
    void fulfillQueuedChannelRequestsForUUID(const std::string&) override {}
    void peerFailedToConnectToRemote(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexRemotePeer>&) override {
        ++failures;
    }
    void peerDisconnectedFromRemote(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexRemotePeer>&) override {
        ++disconnects;
    }
    // An originated transaction toward remote, as a connect request would register it.
    std::shared_ptr<TunnexTransaction> originate(int64_t id, std::shared_ptr<TunnexRemotePeer> remote) {
        auto transaction = std::make_shared<TunnexTransaction>();
        transaction->setTransactionId(id);
        transaction->setIsOriginator(true);
        transaction->setRemotePeer(std::move(remote));
        std::lock_guard lock(mutex);
        transactions[id] = transaction;
        return transaction;
    }
    std::vector<std::shared_ptr<TunnexRemotePeer>> remotes() {
        std::lock_guard lock(mutex);
        return registeredRemotes;
    }

    std::vector<std::pair<std::string, TunnexTunnelStatus>> statusReports() {
        std::lock_guard lock(mutex);
        return reports;
    }

    std::atomic<int> fulfilled{0}, timeoutsRegistered{0}, transactionsRegistered{0}, failures{0}, disconnects{0};
    std::atomic<int> transactionsMade{0}, assignments{0}, startsMarked{0}, connects{0};
    std::atomic<bool> makeTransactions{true};
    std::atomic<int64_t> nextTransactionId{1000};
    std::mutex mutex;
    std::vector<std::pair<std::string, TunnexTunnelStatus>> reports;
    std::map<std::string, TunnexTunnelStatus> lastStatus;
    std::map<int64_t, std::shared_ptr<TunnexTransaction>> transactions;
    std::vector<std::shared_ptr<TunnexRemotePeer>> registeredRemotes;
};

// Records what the dispatcher hands to the hole-punch layer, as text lines.
class RecordingConnectionLayer : public TunnexPeerConnectionLayer {
public:
    void connectWithTransaction(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexTransaction>& t) override {
        record("connect " + std::to_string(t ? t->transactionId() : 0));
    }
    void helloSocket(const std::shared_ptr<KLNetSocket>&, const std::shared_ptr<TunnexRemotePeer>&, const sockaddr_in&,
                     bool originator) override {
        record(originator ? "hello cafe" : "hello beef");
    }
    void confirmSocket(const std::shared_ptr<KLNetSocket>&, const std::shared_ptr<TunnexRemotePeer>&,
                       const sockaddr_in&) override {
        record("confirm word");
    }
    void ahoySocket(const std::shared_ptr<KLNetSocket>&, const std::shared_ptr<TunnexTransaction>& t) override {
        record("ahoy " + std::to_string(t ? t->transactionId() : 0));
    }
    void acknowledgeSocket(const std::shared_ptr<KLNetSocket>&, const std::shared_ptr<TunnexTransaction>& t,
                           uint16_t type) override {
        char text[32];
        std::snprintf(text, sizeof text, "ack %04x %lld", unsigned(type), (long long)(t ? t->transactionId() : 0));
        record(text);
    }
    void dispatchCompleteConnectionWithPeer(const std::shared_ptr<TunnexPeer>&,
                                            const std::shared_ptr<TunnexRemotePeer>& remote) override {
        record("complete " + remote->UUID());
    }
    void cancelConnection(const std::shared_ptr<TunnexPeer>&, uint64_t handle) override {
        record("cancel " + std::to_string(handle));
    }
    TunnexResult<void> sendMainChannelMessage(const std::shared_ptr<TunnexPeer>&, const Bytes& message) override {
        std::lock_guard lock(mutex);
        mainChannelMessages.push_back(message);
        return {};
    }
    size_t callCount() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }

    std::mutex mutex;
    std::vector<std::string> calls;
    std::vector<Bytes> mainChannelMessages;

private:
    void record(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
    }
};

class RecordingInviteDelegate : public TunnexPeerInviteDelegate {
public:
    void didReceiveInvite() override { ++invites; }
    void pingDidTimeOut() override { ++timeOuts; }
    std::atomic<int> invites{0}, timeOuts{0};
};

class RecordingPeerDelegate : public TunnexPeerDelegate {
public:
    void tunnexPeerDidConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexRemotePeer>&) override {
        ++connected;
    }
    void tunnexPeerFailedToConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                                 const std::shared_ptr<TunnexRemotePeer>&) override {
        ++failed;
    }
    void tunnexPeerDisconnectedFromRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                              const std::shared_ptr<TunnexRemotePeer>&) override {
        ++disconnected;
    }
    void tunnexPeerPortForwardResult(const std::shared_ptr<TunnexPeer>&, const ForwardSuccessResult&,
                                     const std::shared_ptr<TunnexRemotePeer>&) override {}
    std::atomic<int> connected{0}, failed{0}, disconnected{0};
};

// Another host of the account, speaking to the server from a plain UDP socket.
class OtherHost {
public:
    OtherHost(uint64_t id, uint16_t serverPort) : id_(id) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any);
        server_ = any;
        server_.sin_port = htons(serverPort);
    }
    ~OtherHost() { ::close(fd_); }
    uint16_t port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }
    void send(const Bytes& plaintext) {
        auto sealed = tunnexSealRequest(id_, nonce_++, bytesFromHex(kPeerKeyHex), plaintext);
        ::sendto(fd_, sealed->data(), sealed->size(), 0, reinterpret_cast<sockaddr*>(&server_),
                 sizeof server_);
    }
    void ping(const std::vector<TunnexAddressEntry>& addresses) { send(tunnexPingPlaintext(0, addresses)); }
    void connect(uint64_t target, uint64_t transaction, const std::string& uuid) {
        send(tunnexConnectPlaintext(target, transaction, uuid));
    }

private:
    uint64_t id_;
    uint64_t nonce_ = 1;
    int fd_ = -1;
    sockaddr_in server_{};
};

}  // namespace kl::test
