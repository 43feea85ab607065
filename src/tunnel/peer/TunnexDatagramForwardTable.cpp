#include "tunnel/peer/TunnexDatagramForwardTable.h"

#include <netdb.h>

#include "foundation/KLNetSocketAddress.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexChannelHash.h"

namespace kl {
namespace {

// The most one UDP datagram of each family can carry.
constexpr size_t kMaxIPv4DatagramPayload = 65507;
constexpr size_t kMaxIPv6DatagramPayload = 65527;

// The numeric text of an address, without its port.
std::string hostText(const sockaddr_storage& address) {
    char text[NI_MAXHOST] = "";
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), socketAddressLength(address), text, sizeof text,
                      nullptr, 0, NI_NUMERICHOST) != 0) {
        return "(none)";
    }
    return text;
}

}  // namespace

TunnexResult<void> TunnexDatagramForwardTable::enter(const std::string& key, const std::shared_ptr<KLNetSocket>& socket,
                                                     std::optional<uint16_t> destinationPort) {
    std::lock_guard lock(mutex_);
    // Closed before the teardown closes the sockets, so nothing entered here outlives it.
    if (closed_) {
        KLLog(kKLTLoggingLevelError, "Datagram forward %s refused: the tunnel is closing", key.c_str());
        return TunnexError(TunnexErrorCode::NotConnected, "the tunnel is closing");
    }
    // Two forwards of this tunnel whose hashes meet would take each other's datagrams.
    if (sockets_.count(key)) {
        KLLog(kKLTLoggingLevelError, "Datagram forward %s refused: a forward with that hash exists", key.c_str());
        return TunnexError(TunnexErrorCode::InUse, "a forward with that hash exists");
    }
    sockets_[key] = socket;
    if (destinationPort) ports_[key] = *destinationPort;
    return {};
}

std::shared_ptr<KLNetSocket> TunnexDatagramForwardTable::remove(const std::string& key) {
    std::shared_ptr<KLNetSocket> socket;
    std::lock_guard lock(mutex_);
    if (auto found = sockets_.find(key); found != sockets_.end()) {
        socket = std::move(found->second);
        sockets_.erase(found);
    }
    ports_.erase(key);
    loopbackOnly_.erase(uint32_t(std::stoul(key, nullptr, 16)));
    return socket;
}

void TunnexDatagramForwardTable::removeAndClose(const std::string& key) {
    if (auto socket = remove(key)) socket->close();
}

TunnexDatagramForwardTable::Sockets TunnexDatagramForwardTable::close() {
    Sockets sockets;
    std::lock_guard lock(mutex_);
    closed_ = true;
    sockets.swap(sockets_);
    ports_.clear();
    loopbackOnly_.clear();
    return sockets;
}

void TunnexDatagramForwardTable::closeSockets(const Sockets& sockets) {
    for (const auto& [key, socket] : sockets) {
        KLLog(kKLTLoggingLevelVerbose, "Will close socket %p - of os socket %d", static_cast<void*>(socket.get()),
              socket->sock());
        socket->close();
    }
    // Dropping the sockets after this joins their loops (a loop that holds its socket at this
    // moment drops it on its own thread and ends without touching it again).
}

// --- the listening side ---

TunnexResult<std::shared_ptr<KLNetSocket>> TunnexDatagramForwardTable::startListener(
    const TunnexRemoteUDPForwardRequest& forward, std::weak_ptr<KLNetSocketDelegate> delegate) {
    auto socket = KLNetSocket::initWithFamily(AF_INET6);
    socket->setTag(forward.chanHash);
    TunnexResult<void> entered = enter(StringForChannelHash(forward.chanHash), socket, std::nullopt);
    if (!entered) return entered.error();
    socket->startListeningForDatagramsOnPort(std::move(delegate), forward.port);
    return socket;
}

bool TunnexDatagramForwardTable::bindPending(const KLNetSocket& socket, std::chrono::steady_clock::time_point deadline) {
    return socket.isListening() && socket.localPort() == 0 && std::chrono::steady_clock::now() < deadline;
}

TunnexResult<void> TunnexDatagramForwardTable::listenerBound(const TunnexRemoteUDPForwardRequest& forward,
                                                            const KLNetSocket& socket) {
    const std::string key = StringForChannelHash(forward.chanHash);
    if (socket.localPort() == 0) {
        KLLog(kKLTLoggingLevelError, "Cannot listen for datagrams of forward %s on port %d", key.c_str(),
              int(forward.port));
        removeAndClose(key);
        return TunnexError(TunnexErrorCode::InUse, "Cannot listen for datagrams on port " + std::to_string(forward.port));
    }
    KLLog(kKLTLoggingLevelDebug, "Listening for datagrams of forward %s on port %d with socket: %d", key.c_str(),
          int(forward.port), socket.sock());
    return {};
}

// --- the sending side ---

std::optional<sockaddr_storage> TunnexDatagramForwardTable::resolve(const TunnexForwardRequest& forward) {
    sockaddr_storage address{};
    // Either family: a host known by an IPv4 address only must be reachable too.
    if (!tunnexForwardHostFits(forward.host) || !KLNetSocket::getAddressForHost(forward.host, AF_UNSPEC, SOCK_DGRAM, address)) {
        KLLog(kKLTLoggingLevelError, "Failed to create local UDP forward");
        return std::nullopt;
    }
    return address;
}

TunnexResult<void> TunnexDatagramForwardTable::openSendingSide(const TunnexForwardRequest& forward,
                                                              const sockaddr_storage& address) {
    KLLog(kKLTLoggingLevelDebug, "Address for local UDP forward:%s : %hu", hostText(address).c_str(), forward.port);
    auto socket = KLNetSocket::initUDPClientWithFamily(address.ss_family);
    if (!socket) {
        KLLog(kKLTLoggingLevelError, "Failed to create local UDP forward: no socket");
        return TunnexError(TunnexErrorCode::System, "Failed to create local UDP forward: no socket");
    }
    socket->setKnownClientAddr(address);
    socket->setHasClientAddr(true);
    socket->setTag(forward.chanHash);
    TunnexResult<void> entered = enter(StringForChannelHash(forward.chanHash), socket, forward.port);
    if (!entered) {
        socket->close();
        return entered;
    }
    KLLog(kKLTLoggingLevelDebug, "Set up local forward for port: %hu", forward.port);
    return {};
}

void TunnexDatagramForwardTable::deliver(uint32_t hash, const Bytes& payload) {
    const std::string key = StringForChannelHash(hash);
    std::optional<Destination> destination = this->destination(key);
    if (!destination) {
        KLLog(kKLTLoggingLevelVerbose, "Datagram of %zu bytes for channel %s dropped: no such datagram forward",
              payload.size(), key.c_str());
        return;
    }
    const auto& [socket, port] = *destination;
    const size_t limit = socket->family() == AF_INET6 ? kMaxIPv6DatagramPayload : kMaxIPv4DatagramPayload;
    if (payload.size() > limit) {
        KLLog(kKLTLoggingLevelError, "Datagram of %zu bytes for channel %s dropped: larger than one UDP datagram",
              payload.size(), key.c_str());
        return;
    }
    socket->sendDatagram(payload.data(), uint32_t(payload.size()), socket.get(), port);
}

// --- look-ups ---

std::optional<TunnexDatagramForwardTable::Destination> TunnexDatagramForwardTable::destination(
    const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = sockets_.find(key);
    auto port = ports_.find(key);
    if (found == sockets_.end() || port == ports_.end()) return std::nullopt;
    return Destination{found->second, port->second};
}

void TunnexDatagramForwardTable::markLoopbackOnly(uint32_t hash) {
    std::lock_guard lock(mutex_);
    loopbackOnly_.insert(hash);
}

bool TunnexDatagramForwardTable::loopbackOnly(uint32_t hash) const {
    std::lock_guard lock(mutex_);
    return loopbackOnly_.count(hash) != 0;
}

size_t TunnexDatagramForwardTable::size() const {
    std::lock_guard lock(mutex_);
    return sockets_.size();
}

}  // namespace kl
