// Two tunnel peers in one process joined as two punched peers would be: each holds a record of the
// other whose tunnel socket is its own loopback UDP descriptor, their main channels a UDT pair on
// those descriptors, polled by the real socket manager and reporting to a real tunnel manager.
// Data channels open as real UDT rendezvous connections on the same descriptors.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "UdtTestSupport.h"
#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "support/TestEnvironment.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/manager/TunnexServiceConnector.h"

namespace kl::test {

class ForwardReports : public TunnexRemoteManagerDelegate, public TunnexPeerDelegate {
public:
    void reportConnectionStatusForUUID(const std::string&, TunnexTunnelStatus) override {}
    void reportTimeoutForUUID(const std::string&) override {}
    void tunnexPeerDidConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                            const std::shared_ptr<TunnexRemotePeer>&) override {}
    void tunnexPeerFailedToConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                                 const std::shared_ptr<TunnexRemotePeer>&) override {}
    void tunnexPeerDisconnectedFromRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                              const std::shared_ptr<TunnexRemotePeer>&) override {}
    void tunnexPeerPortForwardResult(const std::shared_ptr<TunnexPeer>&, const ForwardSuccessResult& result,
                                     const std::shared_ptr<TunnexRemotePeer>&) override {
        std::lock_guard lock(mutex_);
        results_.push_back(result);
    }
    std::vector<ForwardSuccessResult> results() {
        std::lock_guard lock(mutex_);
        return results_;
    }

private:
    std::mutex mutex_;
    std::vector<ForwardSuccessResult> results_;
};

// A forwarded service of the remote host with the given UUID.
class TestConnector : public TunnexServiceConnectorBase {
public:
    TestConnector(std::string key, std::string uuid) : key_(std::move(key)), uuid_(std::move(uuid)) {}
    void willEndRemoteService() override {}
    std::shared_ptr<TunnexPeer> peer() const override { return nullptr; }
    std::shared_ptr<TunnexRemotePeer> remotePeer() const override { return nullptr; }
    bool hasRemoteService() const override { return true; }
    std::string serviceKey() const override { return key_; }
    void setServiceKey(std::string key) override { key_ = std::move(key); }
    std::string hostUUID() const override { return uuid_; }
    void setHostUUID(std::string uuid) override { uuid_ = std::move(uuid); }
    std::string domain() const override { return "remote."; }
    void setDomain(std::string) override {}
    std::string type() const override { return "_test._tcp."; }
    void setType(std::string) override {}
    std::string name() const override { return key_; }
    void setName(std::string) override {}
    std::string serverID() const override { return ""; }
    void setServerID(std::string) override {}
    uint16_t localPort() const override { return localPort_; }
    void setLocalPort(uint16_t port) override { localPort_ = port; }
    uint16_t remotePort() const override { return remotePort_; }
    void setRemotePort(uint16_t port) override { remotePort_ = port; }

private:
    std::string key_, uuid_;
    std::atomic<uint16_t> localPort_{0}, remotePort_{0};
};

// A port on the loopback interface that is free now (bound and released).
inline uint16_t freeLoopbackPort() {
    int port = 0;
    int fd = plainListener(AF_INET6, &port);
    ::close(fd);
    return uint16_t(port);
}

// Reads exactly n bytes (false on end of stream, error or a 20 s silence).
inline bool readExactly(int fd, void* buffer, size_t n) {
    auto* out = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) return false;
        ssize_t r = ::read(fd, out + got, n - got);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

inline bool writeAll(int fd, const void* data, size_t n) {
    const auto* in = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(fd, in, n);
        if (w <= 0) return false;
        in += w;
        n -= size_t(w);
    }
    return true;
}

// True when the peer closed the connection within 20 s (reads and drops what still comes).
inline bool seesEndOfStream(int fd) {
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) return false;
        ssize_t r = ::read(fd, buffer, sizeof buffer);
        if (r == 0) return true;
        if (r < 0) return errno == ECONNRESET;
    }
}

inline Bytes randomBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Bytes data(n);
    for (auto& byte : data) byte = uint8_t(random());
    return data;
}

// Everything until the end of stream; nullopt on an error or a 20 s silence.
inline std::optional<Bytes> readToEnd(int fd) {
    Bytes all;
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) return std::nullopt;
        ssize_t r = ::read(fd, buffer, sizeof buffer);
        if (r == 0) return all;
        if (r < 0) return std::nullopt;
        all.insert(all.end(), buffer, buffer + r);
    }
}

class ForwardPeers : public ::testing::Test {
protected:
    void SetUp() override {
        TunnexPeer::initialize();
        previousLevel_ = loggingLevel();
        setLoggingLevel(kKLTLoggingLevelDebug);
        // Lines of an earlier test could name a peer at the same address as one of this test's.
        clearMemoryLog();
        manager = TunnexRemoteManager::create();
        manager->setDelegate(reports);
        setTunnexPeerManager(manager);
    }
    void TearDown() override {
        for (auto& peer : {peerA, peerB}) {
            if (peer) peer->disconnectFromPeers();
        }
        for (auto& peer : {peerA, peerB}) {
            if (peer) {
                EXPECT_TRUE(waitFor([&] { return peer->channelKeyCount() == 0; }));
            }
        }
        setTunnexPeerManager(nullptr);
        manager->connectivityChanged();
        setLoggingLevel(previousLevel_);
    }

    // Both peers connected (with the encryption wish of both), main channels taken.
    void connect(bool encrypt = true) {
        makePeers(encrypt);
        joinMainChannels();
    }

    // The two peers and their records of each other, registered with the manager, no tunnel yet.
    void makePeers(bool encrypt) {
        peerA = TunnexPeer::initUsingEncryption(encrypt);
        peerB = TunnexPeer::initUsingEncryption(encrypt);
        remoteOfA = record("uuid-of-b", udp.fdA, udp.addressB);
        remoteOfB = record("uuid-of-a", udp.fdB, udp.addressA);
        for (auto [peer, remote] : {std::pair{peerA, remoteOfA}, std::pair{peerB, remoteOfB}}) {
            peer->setStunPeer(remote);
            peer->setDelegate(reports);
            manager->assignPeerToRemote(peer, remote);
        }
    }

    // The tunnel comes up: main channels joined and the key exchange done.
    void joinMainChannels() {
        auto [udtA, udtB] = udp.open(TunnexChannelMode::Message);
        ASSERT_GT(udtA, 0);
        ASSERT_GT(udtB, 0);
        peerA->takeMainChannel(TunnexSocketImpl::create(udtA));
        peerB->takeMainChannel(TunnexSocketImpl::create(udtB));
        ASSERT_TRUE(waitFor([&] {
            return peerA->connectionStatus() == TunnexTunnelConnected && peerB->connectionStatus() == TunnexTunnelConnected;
        }));
    }

    // A listener on a free local port of `from` that forwards to 127.0.0.1:targetPort on the
    // other side; the local port. The test servers listen on IPv4 only: "localhost" would try
    // ::1 first, where the same port number may belong to another process's listener.
    uint16_t forward(const std::shared_ptr<TunnexPeer>& from, uint16_t targetPort, const std::string& key) {
        const bool isA = from == peerA;
        auto connector = std::make_shared<TestConnector>(key, isA ? "uuid-of-b" : "uuid-of-a");
        connectors.push_back(connector);
        // A port found free can be taken by another process's connection before the listener binds
        // it (on either family): then another one is tried.
        for (int attempt = 0; attempt < 10; ++attempt) {
            const uint16_t port = freeLoopbackPort();
            uint16_t got = from->requestPortForwardFromPort(port, "127.0.0.1", targetPort,
                                                            TunnexPeer::kForwardTypeStream, isA ? remoteOfA : remoteOfB,
                                                            nullptr, connector, true);
            if (got != 0) {
                EXPECT_EQ(got, port);
                return got;
            }
        }
        ADD_FAILURE() << "no local port could be forwarded";
        return 0;
    }

    test::UdpPeers udp;
    std::shared_ptr<ForwardReports> reports = std::make_shared<ForwardReports>();
    std::shared_ptr<TunnexRemoteManager> manager;
    std::shared_ptr<TunnexPeer> peerA, peerB;
    std::shared_ptr<TunnexRemotePeer> remoteOfA, remoteOfB;
    std::vector<std::shared_ptr<TestConnector>> connectors;

private:
    int32_t previousLevel_ = 1;
    static std::shared_ptr<TunnexRemotePeer> record(const std::string& uuid, int fd, const sockaddr_storage& address) {
        auto remote = std::make_shared<TunnexRemotePeer>();
        remote->setUUID(uuid);
        remote->setAddress(address);
        // UDT owns the descriptor once a channel is bound onto it, so its wrapper is never
        // destroyed (which would close the descriptor under UDT).
        static auto* kept = new std::vector<std::shared_ptr<KLNetSocket>>();
        auto socket = KLNetSocket::initWithSocket(fd);
        kept->push_back(socket);
        remote->setTunnelSocket(socket);
        return remote;
    }
};

}  // namespace kl::test
