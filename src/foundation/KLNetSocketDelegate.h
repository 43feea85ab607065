// What a KLNetSocket tells its owners. Every method but acceptedNewClientSocket has a default, so a
// delegate implements only what it needs. Sockets hold delegates weakly and never call one that is
// gone: a datagram or accept loop whose delegate has been destroyed ends.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kl {

class KLNetSocket;

// One received datagram. bytes points into the receive loop's buffer and is valid only during the
// call; when the socket copies datagrams (setUseCopyForDatagrams), copy holds the same bytes and
// may be kept.
struct KLNetDatagram {
    std::span<const uint8_t> bytes;
    std::shared_ptr<const std::vector<uint8_t>> copy;
};

class KLNetSocketDelegate {
public:
    virtual ~KLNetSocketDelegate() = default;

    // Every accepted TCP connection, on the accept thread; null when the connection could not be
    // wrapped. The delegate keeps the socket if it wants it.
    virtual void acceptedNewClientSocket(std::shared_ptr<KLNetSocket> socket) = 0;

    // Once, on the receive loop's thread, after the bind and before the first wait.
    virtual void willBeginListeningForDatagramsOnSocket(KLNetSocket& socket) {}
    // Every datagram, on the receive loop's thread. The default passes it on without the sender.
    virtual void datagramReceivedForSocketFromAddress(KLNetSocket& socket, const KLNetDatagram& data,
                                                      const sockaddr* from, socklen_t fromLength) {
        datagramReceivedForSocket(socket, data);
    }
    virtual void datagramReceivedForSocket(KLNetSocket& socket, const KLNetDatagram& data) {}
    // After every wait pass of the receive loop, data or not. false ends the loop; clearing
    // shouldClose (preset to true) leaves the descriptor open when it ends.
    virtual bool shouldContinueToReceiveDatagramsOnSocket(KLNetSocket& socket, bool& shouldClose) { return true; }

    // From the TCP reads, on the main loop: the fraction of the 45-second limit waited so far, and
    // 0.0 once data flows again.
    virtual void socketIsExperiencingLatency(float fractionOfLimit) {}

    // Declared for completeness; no socket sends it.
    virtual void socketDidClose() {}
};

// Told the size of every successful send and read.
class KLTBandwidthMeterProtocol {
public:
    virtual ~KLTBandwidthMeterProtocol() = default;
    virtual void reportBytesSent(uint64_t count) = 0;
    virtual void reportBytesReceived(uint64_t count) = 0;
};

}  // namespace kl
