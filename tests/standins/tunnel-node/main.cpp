// tunnel-node: runs one tunnel peer from the command line the way the daemon runs it, and prints one
// JSON line per event on stdout.
//
//   tunnel-node --server ADDR:PORT --id N --key HEX --uuid TEXT [--remote ID:UUID]... [--connect ID]
//               [--forward LOCALPORT:REMOTEID:REMOTEPORT]... [--udp-forward LOCALPORT:REMOTEID:REMOTEPORT]...
//               [--ping-interval-ms N] [--ping-timeout-ms N]
//
// Events: started, registered (first pong naming the external address), pong, recycled,
// ping-timeout, invited, connect-sent, status (a tunnel status as the tunnel manager receives it:
// uuid and status), progress (stage, name, percent; stage 2 at 1.0 is a connected main channel),
// outcome (connected, failed or disconnected, with the uuid), forward (a --forward's listener or a
// --udp-forward's request: type stream or datagram, ok or not), forward-result (the remote's
// answer to a forward: kind, host, port, ok), error, stopped. A --udp-forward is requested once
// the tunnel to its remote is connected (it travels on the main channel) and sends to 127.0.0.1
// on the remote. Ends on
// SIGINT, SIGTERM, or when the pipe on its stdin (if it is one) is closed.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/manager/TunnexServiceConnector.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/TunnexUtilities.h"

namespace {

using namespace kl;
using nlohmann::json;

std::atomic<bool> gStop{false};

void emit(json line) {
    std::string text = line.dump() + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void usage(const std::string& message) {
    emit({{"event", "error"}, {"message", message}});
    std::fprintf(stderr,
                 "usage: tunnel-node --server ADDR:PORT --id N --key HEX --uuid TEXT [--remote ID:UUID]...\n"
                 "                   [--connect ID] [--forward LOCALPORT:REMOTEID:REMOTEPORT]...\n"
                 "                   [--udp-forward LOCALPORT:REMOTEID:REMOTEPORT]...\n"
                 "                   [--ping-interval-ms N] [--ping-timeout-ms N]\n");
    std::exit(2);
}

uint64_t number(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end || errno) usage(std::string("bad ") + what + ": " + text);
    return value;
}

struct Forward {
    uint16_t localPort;
    uint64_t remoteId;
    uint16_t remotePort;
};

struct Options {
    std::string serverHost;
    uint16_t serverPort = 0;
    uint64_t id = 0;
    Bytes key;
    std::string uuid;
    std::vector<std::pair<uint64_t, std::string>> remotes;
    std::optional<uint64_t> connect;
    std::vector<Forward> forwards;
    std::vector<Forward> udpForwards;
    TunnexPeer::Timing timing;
};

Options parse(int argc, char** argv) {
    Options options;
    bool haveId = false;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) usage("missing value of " + flag);
        const std::string value = argv[++i];
        if (flag == "--server") {
            const size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0) usage("--server wants ADDR:PORT");
            options.serverHost = value.substr(0, colon);
            uint64_t port = number(value.substr(colon + 1), "server port");
            if (port == 0 || port > 65535) usage("bad server port: " + value);
            options.serverPort = uint16_t(port);
        } else if (flag == "--id") {
            options.id = number(value, "id");
            haveId = true;
        } else if (flag == "--key") {
            if (value.size() % 2 || (value.size() != 32 && value.size() != 48 && value.size() != 64)) {
                usage("--key wants 16, 24 or 32 bytes in hexadecimal");
            }
            for (size_t j = 0; j < value.size(); j += 2) {
                options.key.push_back(uint8_t(std::strtoul(value.substr(j, 2).c_str(), nullptr, 16)));
            }
        } else if (flag == "--uuid") {
            options.uuid = value;
        } else if (flag == "--remote") {
            const size_t colon = value.find(':');
            if (colon == std::string::npos || colon + 1 == value.size()) usage("--remote wants ID:UUID");
            options.remotes.emplace_back(number(value.substr(0, colon), "remote id"), value.substr(colon + 1));
        } else if (flag == "--connect") {
            options.connect = number(value, "connect id");
        } else if (flag == "--forward" || flag == "--udp-forward") {
            unsigned long long local = 0, remote = 0, port = 0;
            char extra = 0;
            if (std::sscanf(value.c_str(), "%llu:%llu:%llu%c", &local, &remote, &port, &extra) != 3 || local > 65535 ||
                port == 0 || port > 65535) {
                usage(flag + " wants LOCALPORT:REMOTEID:REMOTEPORT");
            }
            (flag == "--forward" ? options.forwards : options.udpForwards)
                .push_back({uint16_t(local), remote, uint16_t(port)});
        } else if (flag == "--ping-interval-ms") {
            options.timing.pingInterval = std::chrono::milliseconds(number(value, "ping interval"));
        } else if (flag == "--ping-timeout-ms") {
            options.timing.pingTimeout = std::chrono::milliseconds(number(value, "ping time-out"));
        } else {
            usage("unknown option " + flag);
        }
    }
    if (options.serverHost.empty() || !haveId || options.key.empty() || options.uuid.empty()) {
        usage("--server, --id, --key and --uuid are required");
    }
    if (options.connect) {
        bool known = false;
        for (auto& remote : options.remotes) known |= remote.first == *options.connect;
        if (!known) usage("--connect names an id without --remote");
    }
    return options;
}

class NodeDelegates : public TunnexPeerInviteDelegate, public TunnexConnectDelegate, public TunnexRemoteManagerDelegate {
public:
    // Told of every connected tunnel, on the thread that reports it.
    std::function<void(std::shared_ptr<TunnexPeer>, std::shared_ptr<TunnexRemotePeer>)> onConnected;

    // The tunnel manager's reports, as the daemon receives them.
    void reportConnectionStatusForUUID(const std::string& uuid, TunnexTunnelStatus status) override {
        emit({{"event", "status"}, {"uuid", uuid}, {"status", int(status)}});
    }
    void reportTimeoutForUUID(const std::string& uuid) override { emit({{"event", "timeout"}, {"uuid", uuid}}); }
    void didReceiveInvite() override { emit({{"event", "invited"}}); }
    void pingDidTimeOut() override { emit({{"event", "ping-timeout"}}); }
    void tunnexPeerDidConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                            const std::shared_ptr<TunnexRemotePeer>& remote) override {
        outcome("connected", remote);
        if (onConnected) onConnected(peer, remote);
    }
    void tunnexPeerFailedToConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                                 const std::shared_ptr<TunnexRemotePeer>& remote) override {
        outcome("failed", remote);
    }
    void tunnexPeerDisconnectedFromRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                              const std::shared_ptr<TunnexRemotePeer>& remote) override {
        outcome("disconnected", remote);
    }
    void tunnexPeerPortForwardResult(const std::shared_ptr<TunnexPeer>&, const ForwardSuccessResult& result,
                                     const std::shared_ptr<TunnexRemotePeer>&) override {
        emit({{"event", "forward-result"}, {"kind", result.forwardKind}, {"host", result.host}, {"port", result.port},
              {"ok", result.success}});
    }
    void connectStage(const std::string& name, float percent, int32_t stage) override {
        emit({{"event", "progress"}, {"stage", stage}, {"name", name}, {"percent", percent}});
    }

private:
    static void outcome(const char* result, const std::shared_ptr<TunnexRemotePeer>& remote) {
        emit({{"event", "outcome"}, {"result", result}, {"uuid", remote ? remote->UUID() : std::string()}});
    }
};

std::string uuidOf(const Options& options, uint64_t id) {
    for (const auto& [remoteId, uuid] : options.remotes) {
        if (remoteId == id) return uuid;
    }
    return std::string();
}

std::string addressText(const sockaddr_storage& address) {
    return AddressPortString(reinterpret_cast<const sockaddr_in*>(&address)).value_or("");
}

// Follows the registered peer on the main loop: reports pongs and recycles, keeps the delegates

// The forwarded service of a --forward: the remote host's UUID is all the tunnel needs of it.
class ForwardConnector : public TunnexServiceConnectorBase {
public:
    ForwardConnector(std::string key, std::string uuid) : key_(std::move(key)), uuid_(std::move(uuid)) {}
    void willEndRemoteService() override {}
    std::shared_ptr<TunnexPeer> peer() const override { return nullptr; }
    std::shared_ptr<TunnexRemotePeer> remotePeer() const override { return nullptr; }
    bool hasRemoteService() const override { return true; }
    std::string serviceKey() const override { return key_; }
    void setServiceKey(std::string) override {}
    std::string hostUUID() const override { return uuid_; }
    void setHostUUID(std::string) override {}
    std::string domain() const override { return "remote."; }
    void setDomain(std::string) override {}
    std::string type() const override { return "_forward._tcp."; }
    void setType(std::string) override {}
    std::string name() const override { return key_; }
    void setName(std::string) override {}
    std::string serverID() const override { return ""; }
    void setServerID(std::string) override {}
    uint16_t localPort() const override { return localPort_.load(); }
    void setLocalPort(uint16_t port) override { localPort_.store(port); }
    uint16_t remotePort() const override { return remotePort_.load(); }
    void setRemotePort(uint16_t port) override { remotePort_.store(port); }

private:
    const std::string key_, uuid_;
    std::atomic<uint16_t> localPort_{0}, remotePort_{0};
};

// on whichever peer holds the registration, and sends the connect request once the server answers.
class NodeWatcher {
public:
    NodeWatcher(const Options& options, std::shared_ptr<TunnexRemoteManager> manager,
                std::shared_ptr<NodeDelegates> delegates)
        : options_(options), manager_(std::move(manager)), delegates_(std::move(delegates)) {}

    void tick() {
        auto peer = TunnexPeer::registeredTunnexPeer();
        if (!peer) return;
        if (peer != current_) {
            if (current_) emit({{"event", "recycled"}});
            current_ = peer;
            lastPongs_ = 0;
            peer->setDelegate(delegates_);
            peer->setProgressDelegate(delegates_);
        }
        const uint64_t pongs = peer->pongCounter();
        if (pongs == lastPongs_) return;
        lastPongs_ = pongs;
        const sockaddr_storage external = peer->extAddress();
        if (!registered_ && external.ss_family == AF_INET) {
            registered_ = true;
            auto socket = peer->handoffSocket();
            emit({{"event", "registered"}, {"id", options_.id}, {"external", addressText(external)},
                  {"local_port", socket ? socket->localPort() : 0}});
        }
        emit({{"event", "pong"}, {"pongs", pongs}, {"external", addressText(external)}});
        if (options_.connect && !connectSent_) sendConnect(peer);
    }

private:
    void sendConnect(const std::shared_ptr<TunnexPeer>& peer) {
        connectSent_ = true;
        // Through the manager's queue, which the registered peer serves now that it has a pong.
        manager_->connectToRemoteUUID(uuidOf(options_, *options_.connect), delegates_);
        emit({{"event", "connect-sent"}, {"peer", *options_.connect},
              {"transaction", manager_->lastOriginatedTransactionId()}});
    }

    const Options& options_;
    std::shared_ptr<TunnexRemoteManager> manager_;
    std::shared_ptr<NodeDelegates> delegates_;
    std::shared_ptr<TunnexPeer> current_;
    uint64_t lastPongs_ = 0;
    bool registered_ = false;
    bool connectSent_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const Options options = parse(argc, argv);
    setLogSink(LogSink::StandardError);
    if (const char* level = std::getenv("KL_LOG_LEVEL")) setLoggingLevel(std::atoi(level));
    std::signal(SIGINT, [](int) { gStop = true; });
    std::signal(SIGTERM, [](int) { gStop = true; });

    TunnexPeer::setTiming(options.timing);
    TunnexPeer::setGlobalServerPort(options.serverPort);
    TunnexPeer::setLocalMachineUUID(options.uuid);
    auto delegates = std::make_shared<NodeDelegates>();
    auto manager = TunnexRemoteManager::sharedInstance();
    manager->setDelegate(delegates);
    for (const auto& [id, uuid] : options.remotes) {
        manager->registerRemoteWithName("node " + std::to_string(id), uuid, std::to_string(id), "node-" + uuid);
    }

    auto peer = TunnexPeer::init();
    peer->setPrivateKey(options.key);
    peer->setInviteDelegate(delegates);
    peer->setDelegate(delegates);
    peer->setProgressDelegate(delegates);
    peer->setMainChannelPersists(true);
    emit({{"event", "started"}, {"id", options.id}, {"uuid", options.uuid}});
    if (!peer->registerWithServerAtAddress(options.serverHost, 5.0, options.id)) {
        emit({{"event", "error"}, {"message", "cannot reach server " + options.serverHost}});
        return 1;
    }
    std::vector<std::shared_ptr<ForwardConnector>> connectors;
    for (const Forward& forward : options.forwards) {
        // A stream forward to "localhost" on the remote, listening on every local address (clients
        // in the scenarios reach it as 127.0.0.1 or ::1); the tunnel starts with its first client.
        const std::string uuid = uuidOf(options, forward.remoteId);
        auto connector = std::make_shared<ForwardConnector>("forward-" + std::to_string(forward.localPort), uuid);
        connectors.push_back(connector);
        const uint16_t port = peer->requestPortForwardFromPort(forward.localPort, "localhost", forward.remotePort,
                                                               TunnexPeer::kForwardTypeStream,
                                                               manager->remotePeerForUUID(uuid), nullptr, connector,
                                                               false);
        nlohmann::json event = {{"event", "forward"}, {"type", "stream"}, {"local_port", forward.localPort},
                                {"remote_id", forward.remoteId}, {"remote_port", forward.remotePort}, {"ok", port != 0}};
        if (port == 0) event["reason"] = "the local port could not be forwarded";
        emit(event);
    }

    // Datagram forwards, each requested on the main loop once its tunnel is first connected.
    std::vector<bool> udpRequested(options.udpForwards.size(), false);
    delegates->onConnected = [&options, &udpRequested, &connectors](std::shared_ptr<TunnexPeer> tunnel,
                                                                    std::shared_ptr<TunnexRemotePeer> remote) {
        if (!tunnel || !remote) return;
        mainLoop().post([&options, &udpRequested, &connectors, tunnel, remote] {
            for (size_t i = 0; i < options.udpForwards.size(); ++i) {
                const Forward& forward = options.udpForwards[i];
                if (udpRequested[i] || uuidOf(options, forward.remoteId) != remote->UUID()) continue;
                udpRequested[i] = true;
                auto connector =
                    std::make_shared<ForwardConnector>("udp-forward-" + std::to_string(forward.localPort), remote->UUID());
                connectors.push_back(connector);
                const uint16_t port =
                    tunnel->requestPortForwardFromPort(forward.localPort, "127.0.0.1", forward.remotePort,
                                                       TunnexPeer::kForwardTypeDatagram, remote, nullptr, connector, false);
                nlohmann::json event = {{"event", "forward"}, {"type", "datagram"}, {"local_port", forward.localPort},
                                        {"remote_id", forward.remoteId}, {"remote_port", forward.remotePort},
                                        {"ok", port != 0}};
                if (port == 0) event["reason"] = "the datagram forward could not be set up";
                emit(event);
            }
        });
    };

    NodeWatcher watcher(options, manager, delegates);
    struct stat input {};
    const bool stdinIsPipe = ::fstat(0, &input) == 0 && S_ISFIFO(input.st_mode);
    std::string command;
    mainLoop().every(std::chrono::milliseconds(50), [&watcher, &command, &options, manager, stdinIsPipe] {
        pollfd pipe{0, POLLIN, 0};
        char byte = 0;
        bool stdinClosed = false;
        while (stdinIsPipe && ::poll(&pipe, 1, 0) > 0) {
            if (::read(0, &byte, 1) <= 0) {
                stdinClosed = true;
                break;
            }
            if (byte != '\n') {
                command += byte;
                continue;
            }
            // "disconnect": say goodbye on every tunnel, as the daemon's disconnect command does.
            if (command == "disconnect") {
                for (const auto& [id, uuid] : options.remotes) manager->disconnectPeerWithUUID(uuid);
            } else {
                emit({{"event", "error"}, {"message", "unknown command " + command}});
            }
            command.clear();
        }
        if (gStop || stdinClosed) {
            mainLoop().stop();
            return;
        }
        watcher.tick();
    });
    mainLoop().run();

    if (auto registered = TunnexPeer::registeredTunnexPeer()) registered->cancelRegistrationWithServer(true);
    manager->disconnectFromAllPeers();
    setTunnexPeerManager(nullptr);
    // No pool thread may still be forwarding when main's statics go.
    if (!globalQueue().shutdown(std::chrono::seconds(5))) emit({{"event", "error"}, {"message", "pool work outlived the stop"}});
    emit({{"event", "stopped"}});
    return 0;
}
