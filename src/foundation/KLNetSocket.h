// KLNetSocket: one TCP or UDP socket, IPv4 or IPv6, with blocking, thread-friendly operations: a
// datagram receive loop that hands every datagram to a delegate, one-shot datagram waits, datagram
// sends, TCP connect, TCP listen with an accept loop, exact-length reads that report latency, and
// complete writes.
//
// Threads and descriptors: every blocking wait polls the socket's descriptor together with an
// eventfd of the socket's own. close() (or destruction) raises that eventfd, waits until no thread
// is inside a system call on the descriptor, and only then closes it, so a descriptor is never
// closed under a thread that is blocked on it. The accept loop, and the datagram loop when started
// with startListeningForDatagramsOnPort, run on threads the socket owns; destroying the socket
// stops and joins them (a delegate may drop the last reference from inside a callback: the loop
// then ends without touching the socket again). Sockets are always owned by shared_ptr: create them
// with the init... factories.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KLNetSocketAddress.h"
#include "foundation/KLNetSocketDelegate.h"
#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

class KLNetSocket : public std::enable_shared_from_this<KLNetSocket> {
    struct Private {};

public:
    // Waits of the blocking reads and writes. One read step counts as 5 seconds in the log lines
    // and latency reports whatever its real length, so tests can run the whole sequence quickly.
    struct Timing {
        std::chrono::milliseconds readWaitStep{5000};
        // A complete write waits at most this long for each writable signal, and gives up with
        // ETIMEDOUT once no byte has moved for sendStallLimit.
        std::chrono::milliseconds sendWaitStep{4000};
        std::chrono::milliseconds sendStallLimit{45000};
        // How long a datagram send waits for buffer space before it fails.
        std::chrono::milliseconds datagramBufferWait{2000};
    };
    static constexpr int kReadStepSeconds = 5;
    static constexpr int kReadLimitSeconds = 45;
    static constexpr size_t kDatagramBufferSize = 65536;

    // No descriptor yet; the family is AF_INET6 unless given.
    static std::shared_ptr<KLNetSocket> init();
    static std::shared_ptr<KLNetSocket> initWithFamily(int family);
    // Wraps a connected TCP descriptor as a client socket that owns it; null when the descriptor's
    // local address cannot be read (the descriptor then stays the caller's).
    static std::shared_ptr<KLNetSocket> initWithSocket(int descriptor);
    // A UDP socket bound to the wildcard address of the family on an ephemeral port; null on
    // failure.
    static std::shared_ptr<KLNetSocket> initUDPClientWithFamily(int family);
    static std::shared_ptr<KLNetSocket> initUDPClient();

    KLNetSocket(Private, int family);
    ~KLNetSocket();
    KLNetSocket(const KLNetSocket&) = delete;
    KLNetSocket& operator=(const KLNetSocket&) = delete;

    // Sets the cancel flag, wakes every wait on this socket and closes the descriptor (if owned).
    void close();
    // false: closing and destroying this object leave the descriptor open for its new owner.
    void setSocketCloseOwnership(bool ownsDescriptor);

    // Datagrams.
    // The receive loop on the calling thread; returns when it ends (close(), the cancel flag, the
    // delegate's refusal, an error, or the delegate's destruction).
    void listenForDatagramsOnPort(std::weak_ptr<KLNetSocketDelegate> delegate, uint16_t port);
    // The same loop on a thread of this socket's own; false when a loop of this socket still runs.
    bool startListeningForDatagramsOnPort(std::weak_ptr<KLNetSocketDelegate> delegate, uint16_t port);
    // Binds an IPv6 (dual-stack) UDP socket on port and blocks for one datagram; records its sender
    // as the known peer address. Nothing on failure (waitForDatagramError tells bind and receive
    // failures apart from a socket that could not be made) or when close() interrupts the wait.
    std::optional<Bytes> waitForDatagramOnPort(uint16_t port);
    bool sendDatagram(const void* bytes, uint32_t length, const sockaddr_storage& destination,
                      bool waitForBuffer = false);
    // To clientSocket's known peer address with its port replaced; a null socket sends to an empty
    // address, which fails.
    bool sendDatagram(const void* bytes, uint32_t length, const KLNetSocket* clientSocket, uint16_t port);

    // Streams.
    bool connectToHost(const std::string& host, uint16_t port, Error* error = nullptr);
    // address is 16 (IPv4) or 28 (IPv6) bytes long; its family and port are written into it.
    bool connectToAddress(sockaddr_storage& address, socklen_t length, uint16_t port, Error* error = nullptr);
    bool listenOnPort(uint16_t port, std::weak_ptr<KLNetSocketDelegate> delegate, Error* error = nullptr);
    bool getClientBytes(void* buffer, int64_t length);
    bool getServerBytes(void* buffer, int64_t length);
    bool delayUntilServerBytes(double seconds);
    bool sendBytes(const void* bytes, uint32_t length);
    int setTCPNoDelayWithOption(bool on);
    static int setTCPNoDelayOnSocket(int descriptor, bool on);

    // State.
    bool isOpen() const;
    bool isConnected() const { return isClient_.load(); }
    bool isListening() const { return isListening_.load(); }
    bool isLoopback() const;
    bool cancel() const { return cancel_.load(); }
    void setCancel(bool cancel) { cancel_.store(cancel); }
    bool hasClientAddr() const { return hasClientAddr_.load(); }
    void setHasClientAddr(bool has) { hasClientAddr_.store(has); }
    sockaddr_storage knownClientAddr() const;
    void setKnownClientAddr(const sockaddr_storage& address);
    // The descriptor, -1 when none is held.
    int sock() const;
    // The bound local port in host order, 0 when there is none.
    uint16_t localPort() const;
    uint64_t tag() const { return tag_.load(); }
    void setTag(uint64_t tag) { tag_.store(tag); }
    int family() const { return family_.load(); }
    void setFamily(int family) { family_.store(family); }
    std::shared_ptr<KLNetSocketDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KLNetSocketDelegate> delegate);
    bool useCopyForDatagrams() const { return useCopy_.load(); }
    void setUseCopyForDatagrams(bool copy) { useCopy_.store(copy); }
    bool waitForDatagramError() const { return waitForDatagramError_.load(); }
    void setWaitForDatagramError(bool error) { waitForDatagramError_.store(error); }
    std::shared_ptr<KLTBandwidthMeterProtocol> bandwidthMeter() const;
    void setBandwidthMeter(std::weak_ptr<KLTBandwidthMeterProtocol> meter);
    Timing timing() const;
    // Accepted sockets inherit their listener's timing.
    void setTiming(const Timing& timing);

    // Helpers of the class.
    static bool getAddressForHost(const std::string& host, int family, int socketType, sockaddr_storage& storage);
    // Adds O_NONBLOCK to the descriptor's status flags; the fcntl result.
    static int setNonBlockingOnSocket(int descriptor);
    static bool convertDualStack(const sockaddr_in6& dualStack, sockaddr_in& oldIP);

private:
    class DescriptorUse;
    struct LoopControl;
    enum class WaitResult { Failed, TimedOut, Ready, Woken };
    enum class ReadKind { Client, Server };

    // Closes the held descriptor once no other thread is inside a system call on it. With wake,
    // waits on it are woken first (close()); without, they finish on their own (a loop's end).
    void closeDescriptor(bool wake);
    // Replaces the held descriptor (closing an old one) and returns false when the socket is
    // being closed.
    bool adoptDescriptor(int descriptor);
    // A new TCP descriptor of the family, held by this socket.
    bool openStreamDescriptor(int family, Error* error);
    // Polls descriptor (ignored when -1) together with the wake eventfd; a negative timeout waits
    // without limit. revents receives the descriptor's events when it is Ready.
    WaitResult waitOn(int descriptor, short events, std::chrono::milliseconds timeout, short* revents = nullptr);
    void runDatagramLoop(std::weak_ptr<KLNetSocketDelegate> delegate, uint16_t port,
                         const std::shared_ptr<LoopControl>& control);
    void runAcceptLoop(std::weak_ptr<KLNetSocketDelegate> delegate, const std::shared_ptr<LoopControl>& control);
    bool readExactly(void* buffer, int64_t length, ReadKind kind);
    void reportLatency(float fraction);
    bool sendDatagramTo(const void* bytes, uint32_t length, const sockaddr* to, socklen_t toLength, bool waitForBuffer);
    void reportSent(uint64_t count) const;
    void reportReceived(uint64_t count) const;
    bool hasPeer() const;
    void stopThread(std::thread& thread, const std::shared_ptr<LoopControl>& control);

    // Guards fd_, users_, closing_, the known address, the weak references and the timing.
    mutable std::mutex mutex_;
    std::condition_variable usersDone_;
    int fd_ = -1;
    int users_ = 0;
    bool closing_ = false;
    int wakeFd_ = -1;
    sockaddr_storage knownClientAddr_{};
    std::weak_ptr<KLNetSocketDelegate> delegate_;
    std::weak_ptr<KLTBandwidthMeterProtocol> bandwidthMeter_;
    Timing timing_;

    std::atomic<bool> cancel_{false};
    std::atomic<bool> isServer_{false};
    std::atomic<bool> isClient_{false};
    std::atomic<bool> hasClientAddr_{false};
    std::atomic<bool> isListening_{false};
    std::atomic<bool> useCopy_{false};
    std::atomic<bool> waitForDatagramError_{false};
    std::atomic<bool> ownsDescriptor_{true};
    std::atomic<bool> clientLatencyReported_{false};
    std::atomic<bool> serverLatencyReported_{false};
    std::atomic<uint64_t> tag_{0};
    std::atomic<int> family_;

    // Threads of this socket's own loops, and what they check after dropping their reference to
    // the socket. Only the thread that starts or stops a loop touches these.
    std::mutex threadsMutex_;
    std::thread acceptThread_;
    std::shared_ptr<LoopControl> acceptControl_;
    std::thread datagramThread_;
    std::shared_ptr<LoopControl> datagramControl_;
};

}  // namespace kl
