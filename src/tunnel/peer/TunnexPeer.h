// TunnexPeer: one endpoint of the tunnel. One object serves one tunnel to a remote machine, and one
// object at a time is registered with the rendezvous server: it owns the ping socket, pings every
// few seconds, learns its external address from the pongs, and is recycled (a fresh peer on a
// fresh socket takes its place) when the server stops answering or when it becomes the peer of a
// tunnel. Every datagram that reaches one of its UDP sockets goes through its dispatcher.
//
// Threads: the datagram loops of the peer's sockets run on their sockets' own threads, classify each
// datagram there and post its handling to the peer's own serial queue (the relay of a datagram
// forward excepted); pongs, invitations, server errors, pings, ping time-outs, the repeats of a
// connect request and the hole punch's steps all run on that queue. What the peers of one node
// share (the registered peer, the ping socket and their scheduling, settings, nonces) is their
// TunnexContext's, the registration under its plain ping-socket lock. A peer's own state is grouped
// by concern: the channel table, the datagram forwards, the main-channel link and the ping timers
// each guard themselves with plain locks of their own; the channel openings and the handshake's
// progress are owned by the queue; the encryption model and the hole-punch attempts are guarded by
// the peer's own plain lock. Every such lock is held around its own reads and writes only. Peers
// are owned by shared_ptr: sockets hold them weakly, timers and queued work hold weak references,
// so no loop ever calls a destroyed peer.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/KLNetSocket.h"
#include "platform/Error.h"
#include "platform/Executors.h"
#include "platform/Value.h"
#include "tunnel/protocol/TunnexAddress.h"
#include "tunnel/protocol/TunnexChannelOpener.h"
#include "tunnel/protocol/TunnexEncryptionHandshake.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/TunnexClock.h"
#include "tunnel/TunnexResult.h"
#include "tunnel/channel/TunnexMainChannelListener.h"
#include "tunnel/peer/TunnexChannelOpenings.h"
#include "tunnel/peer/TunnexChannelTable.h"
#include "tunnel/peer/TunnexDatagramForwardTable.h"
#include "tunnel/peer/TunnexMainChannelLink.h"
#include "tunnel/peer/TunnexPeerDelegates.h"
#include "tunnel/peer/TunnexPingTimers.h"
#include "tunnel/protocol/TunnexRendezvousCodec.h"
#include "tunnel/channel/TunnexSocketDelegate.h"
#include "tunnel/sockcore/SockAddr.h"
#include "tunnel/TunnexTunnelStatus.h"

namespace kl {

class TunnexEncryption;
class TunnexSocketImpl;
class TunnexForwardedConnection;
class PFwdPrivate;
class TunnexChannelRequest;
class TunnexServiceConnector;
class Error;
struct TunnexForwardDatagram;
struct TunnexForwardRequest;
struct TunnexMainChannelMessage;
struct TunnexRemoteUDPForwardRequest;
class TunnexRemotePeer;
class TunnexSocket;
class TunnexTransaction;
class TunnexPeerConnectionLayer;
class TunnexContext;
class TunnexForwardManagerLink;
struct TunnexPeerDatagram;

class TunnexPeer : public KLNetSocketDelegate,
                   public TunnexSocketDelegate,
                   public TunnexMainChannelListener,
                   public std::enable_shared_from_this<TunnexPeer> {
    struct Private {};

public:
    // The tag of the active ping socket; a socket that loses the role gets 0.
    static constexpr uint64_t kPingSocketTag = 65535;
    static constexpr double kConnectionTimeoutSeconds = 90.0;
    // The port of address tokens.
    static constexpr uint16_t kTokenPort = 6001;

    // The ping cycle's intervals and the pause between repeats of a connect request. The defaults
    // are the protocol's; tests shorten them.
    struct Timing {
        std::chrono::milliseconds pingInterval{5000};
        std::chrono::milliseconds pingTimeout{30000};
        std::chrono::milliseconds invitationRepeatPause{1000};
    };
    static Timing timing();
    static void setTiming(const Timing& timing);

    // --- class ---
    // The class API works on the process's default context (TunnexContext.h); a peer works on the
    // context it was made with.

    // The start-up of the tunnel library on first use of the class (counters, channel-hash seed,
    // UDT, then the socket core). Every factory calls it; calling it again does nothing.
    static void initialize();
    // (major << 16) | (minor << 8) | patch.
    static constexpr uint32_t version() { return 0x30000; }

    static std::shared_ptr<TunnexPeer> registeredTunnexPeer();
    // The peer registered in peer's context (the default one for an empty peer).
    static std::shared_ptr<TunnexPeer> registeredTunnexPeerOf(const std::shared_ptr<TunnexPeer>& peer);
    // An empty peer first closes the ping socket.
    static void setRegisteredTunnexPeer(std::shared_ptr<TunnexPeer> peer);
    static std::shared_ptr<KLNetSocket> activePingSocket();
    // The lock around the registered peer, the ping socket and the arming of the registered peer's
    // timers. Plain, and held only around those: never take it around a call into this class.
    static std::mutex& pingSocketLock();
    // Cancels the registered peer's pending pings and time-outs, closes the ping socket, forgets it
    // and waits (outside the lock) until its datagram loop has stopped.
    static void closePingSocket();
    // A new IPv4 ping socket whose known peer is the server, listening for the registered peer on
    // an ephemeral port; empty when the server host does not resolve.
    static std::shared_ptr<KLNetSocket> newSocketRegisteredWithServer();
    static std::shared_ptr<KLNetSocket> recyclePingSocketWithOldPeer(const std::shared_ptr<TunnexPeer>& oldPeer);
    // A new registered peer on a new ping socket, with the old peer's key and invite delegate. The old
    // peer keeps its socket (now tag 0) for its tunnel.
    static std::shared_ptr<TunnexPeer> recycleTunnexPeer(const std::shared_ptr<TunnexPeer>& oldPeer);
    // recycleTunnexPeer when peer holds the registration, checked and done as one step; empty
    // (and nothing done) when it does not.
    static std::shared_ptr<TunnexPeer> recycleRegisteredTunnexPeer(const std::shared_ptr<TunnexPeer>& peer);

    // A different host resets the reply nonce.
    static void setGlobalServerHost(const std::string& host);
    static std::string globalServerHost();
    // The server's UDP port (9300 unless set, for test servers on ephemeral ports).
    static void setGlobalServerPort(uint16_t port);
    static uint16_t globalServerPort();
    static void setGlobalAssignedId(uint64_t id);
    static uint64_t globalAssignedId();

    // Forgets the invitations followed before cutoff (seconds since 1970) and those of the given
    // transactions; the tunnel manager calls it when it prunes its transactions.
    static void forgetInvitations(double cutoff, const std::vector<int64_t>& transactionIds);
    static size_t followedInvitationCount();

    static uint64_t nextNonce();
    static void resetServerNonce();
    // The highest reply nonce accepted so far.
    static uint64_t highestServerNonce();

    // Up, non-loopback interfaces named "en", "eth" or "wl" (family 0: IPv4 and IPv6), in the
    // system's order; empty when the list cannot be read.
    static std::vector<TunnexAddress> newArrayOfInterfaceAddressesOfFamily(int family);
    static bool isTunnexInterfaceName(const std::string& name);
    static std::optional<std::string> tokenStringFromAddress(const TunnexAddress* address);
    static std::optional<TunnexAddress> addressFromTokenString(const std::string& token);
    // "a.b.c.d:port" as an IPv4 socket address (address 0.0.0.0 when it does not parse).
    static sockaddr_in sockaddrFromAddrPortString(const std::string& text);
    // The UUID this machine is known by in connect requests: the machine's own unless set (a test
    // node that plays another machine on the same host sets its own).
    static std::string localMachineUUID();
    static void setLocalMachineUUID(std::string uuid);
    // The connect request's 88-byte plaintext with this machine's UUID.
    static Bytes tunnexConnectMessageWithPeerID(uint64_t peerId, uint64_t transactionId);

    // --- object ---

    // An empty context: the process's default one.
    static std::shared_ptr<TunnexPeer> initUsingEncryption(bool wantEncryption, uint64_t assignedId = 0,
                                                           TunnexClock clock = tunnexSystemClock(),
                                                           std::shared_ptr<TunnexContext> context = nullptr);
    static std::shared_ptr<TunnexPeer> init() { return initUsingEncryption(true); }
    TunnexPeer(Private, bool wantEncryption, uint64_t assignedId, TunnexClock clock,
               std::shared_ptr<TunnexContext> context);
    // The node this peer belongs to; fixed at creation.
    TunnexContext& context() const { return *context_; }
    const std::shared_ptr<TunnexContext>& sharedContext() const { return context_; }
    ~TunnexPeer() override;
    TunnexPeer(const TunnexPeer&) = delete;
    TunnexPeer& operator=(const TunnexPeer&) = delete;

    // Makes this the registered peer on a fresh ping socket; false when no socket could be made.
    // The time-out argument is not used.
    bool registerWithServerAtAddress(const std::string& host, double timeout, uint64_t assignedId);
    void resetPingSocket();
    // Leaves the registered role when this peer holds it; always true.
    bool cancelRegistrationWithServer(bool sendCancel = true);

    // Rendezvous exchange. The pings, the time-out and the reply handlers run on the peer's queue.
    void serverPing();
    // Arms the ping time-out on the peer registered now.
    static void setupTimeOut();
    void pingTimeOut();
    // The handlers of the opened replies.
    void receivedPong(const Bytes& plaintext);
    void receivedInvitation(const Bytes& plaintext);
    void handleError(const Bytes& plaintext);
    // Seals a request with this peer's id and key and the next nonce; empty (and logged) when the
    // cipher refuses, for example while the key is not 16, 24 or 32 bytes long.
    std::optional<Bytes> sealServerRequest(const Bytes& plaintext);
    // Sends the datagram to the socket's known peer at port up to 5 times, from the peer's queue,
    // pausing after each successful send; stops at the first failure. Returns at once.
    void sendInvitationRequest(const Bytes& data, const std::shared_ptr<KLNetSocket>& socket, uint16_t port);
    static constexpr int kInvitationRequestRepeats = 5;
    bool tunnexServerResponded() const { return pongCounter() != 0; }

    // --- the peer's own queue ---

    // The serial queue that owns this peer's state: datagram threads, the socket manager's poll
    // thread and timers hand their work to it rather than touching the state themselves.
    SerialQueue& queue() const { return *queue_; }
    using PeerTask = std::function<void(const std::shared_ptr<TunnexPeer>&)>;
    // Runs task on the peer's queue if the peer is still alive then (the queue holds it weakly).
    void postToQueue(PeerTask task);
    CancelHandle postToQueueAfter(Duration delay, PeerTask task);
    // Entry points that own the peer's state check that they run on its queue.
    bool onQueue() const { return queue_->isCurrent(); }
    void assertOnQueue(const char* where) const;

    // --- connection set-up and status ---

    // Starts an outgoing connection to the remote: a transaction, status 2 (inviting) and a sealed
    // connect request sent off the caller's thread. Refusals are logged with the operation's name.
    void connectToRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    // Seals the connect request and sends it to the server from the handoff socket (repeated, on a
    // global queue); returns the new connection handle. Without a message: the current handle
    // counter, and nothing is sent.
    uint64_t startConnectionWithConnectMessage(const std::optional<Bytes>& message);
    // The class-wide counter of connection handles (0 until the first connect request).
    static uint64_t connectionHandleCounter();

    // The three outcomes of a connection. The remote may be empty (then no status is reported).
    void didConnectWithRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    void failedToConnectWithRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    // What becomes of this side's forward listeners when a tunnel ends: an end someone asked for
    // (a disconnect, a goodbye) closes them; a tunnel that died under them (its transport broke,
    // its remote went silent) leaves them listening, so their next client brings up a new tunnel.
    enum class ForwardListeners { Close, Keep };
    void disconnectedFromRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                    ForwardListeners listeners = ForwardListeners::Close);
    void disconnectedFromRemote() { disconnectedFromRemotePeer(stunPeer()); }
    // The main channel died without a word from either side.
    void lostRemote() { disconnectedFromRemotePeer(stunPeer(), ForwardListeners::Keep); }
    void flagStatusAsQueueing() { setConnectionStatus(TunnexTunnelQueueing); }
    void flagStatusAsDisconnected() { setConnectionStatus(TunnexTunnelDisconnected); }

    // Status 1 to 4.
    bool connecting() const;
    // The remote while connected, else empty.
    std::shared_ptr<TunnexRemotePeer> connectedRemote() const;
    std::optional<std::string> connectedRemoteUUID() const;
    // Connected to the remote with this UUID; a connection to another one is logged as an error.
    bool isConnectedToRemoteWithUUID(const std::string& uuid) const;

    // Tells the progress delegate the stage (0 Searching, 1 Contacting, 2 Connecting, 3 Encrypting,
    // 4 Drawing) with a fraction from 0.0 to 1.0.
    void reportConnectStage(int32_t stage, float percent);
    static const char* connectStageName(int32_t stage);

    // --- hole-punch state (under the peer's own lock) ---

    // Records that socket answered the sender. With refuseDuplicate, a sender already recorded is
    // refused (false) and nothing changes.
    bool noteConnectionAttempt(const std::string& senderText, std::shared_ptr<KLNetSocket> socket,
                               bool refuseDuplicate);
    // Marks the completion of a connection as started; false when it had already been started.
    bool beginConnectionCompletion();

    // Encryption model, made on first need.
    std::shared_ptr<TunnexEncryption> getEncryptor();

    // Connection time-outs.
    void tunnexConnectionTimeOut();
    void markStartForConnectionTimeout();
    bool shouldTimeoutPeer() const;
    bool shouldAbandonPeer() const;
    bool isConnected() const;

    std::string description();

    // --- main channel (its messages: TunnexMainChannelMessage.h) ---

    // Every main-channel message is sent with this time-out, except the life check.
    static constexpr double kMainChannelSendTimeout = 10.0;
    static constexpr double kLifeCheckSendTimeout = 30.0;

    // Takes the connected UDT main channel: the peer becomes its delegate and listener, the socket
    // manager starts polling it, and this side's encryption wish goes out (with status 4 and the
    // "Encrypting" stage when encryption is wanted).
    void takeMainChannel(const std::shared_ptr<TunnexSocketImpl>& channel);
    // Reads one waiting message on the socket manager's poll thread and hands it to the peer's
    // queue, where messages are handled in the order read. False when the socket manager is to
    // drop the channel.
    bool performMainChannelListen() override;
    void sendDHPublicKey();
    // This side's wrapped content key, once the keys are agreed.
    void sendEncryptedCEK();
    // Says goodbye once and ends the tunnel: the outcome, the encryption model, the main channel.
    void disconnectFromPeers() override;
    void probeMainChannel() override { mainChannelLifeCheck(); }
    // Ends the tunnel of a silent remote without a goodbye, leaving the forwards listening.
    void mainChannelLost() override;
    // Sends one life check from a global queue; a failed send ends the tunnel.
    void mainChannelLifeCheck();
    // Cancels once: sets the cancel flag and, with a main channel, says goodbye.
    void cancelConnection();
    void notifyRemoteOfClosedChannelHash(uint32_t channelHash);
    // Sends one message whole; sends of one peer go out one after the other, in call order.
    TunnexResult<void> sendMainChannelMessage(const Bytes& message, double timeout = kMainChannelSendTimeout);
    // Sends a main-channel message like sendMainChannelMessage; returns the count of packets
    // queued on the main channel up to and including it (a lower bound, as counted below).
    uint64_t sendMainChannelMessageMarked(const Bytes& message);
    // Whether the remote's UDT has acknowledged every main-channel packet up to mark (so the
    // remote can read the messages sent up to it).
    bool mainChannelAcknowledged(uint64_t mark);
    bool mainChannelListening() const { return mainChannelLink_.listening(); }

    // --- channels and port forwards (TunnexPeerChannels.cpp) ---

    // Socket types of a forward request.
    static constexpr int kForwardTypeStream = 1;
    static constexpr int kForwardTypeDatagram = 2;
    // How long the main channel stays open after its last data channel closed.
    static constexpr double kMainChannelCloseDelaySeconds = 60.0;

    // Listens on localPort (0 picks one) and forwards each connection to host:remotePort on the
    // remote. The local port on success, 0 on failure (a refused host, no listener, another type).
    uint16_t requestPortForwardFromPort(uint16_t localPort, const std::string& host, uint16_t remotePort, int type,
                                        const std::shared_ptr<TunnexRemotePeer>& remotePeer, Error* error,
                                        const std::shared_ptr<TunnexServiceConnector>& connector, bool loopbackOnly);
    // The listener of a stream forward, kept under the connector's service key. The bound port
    // (host order) on success, 0 on failure.
    uint16_t createForwardFromPort(uint16_t localPort, const std::string& host, uint16_t remotePort,
                                   const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                   const std::shared_ptr<TunnexServiceConnector>& connector, bool loopbackOnly);
    // Stops listening for the stream forward kept under serviceKey (connections already accepted
    // carry on), so a withdrawn service leaves no listening port behind. False when none is kept.
    bool cancelPortForwardForServiceKey(const std::string& serviceKey);
    // Gets a data channel, or empty on failure (then the whole tunnel ends). Runs on the peer's
    // queue; callable from any thread.
    using ChannelCompletion = TunnexChannelOpenings::Completion;
    // Sends the open-forward message and opens its data channel under the pairing rule; returns at
    // once. done runs on the peer's queue.
    void sendRequestForForward(const TunnexForwardRequest& request, const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                               ChannelCompletion done);
    // One UDT rendezvous connect for the shared hash, completed through the socket manager's poll
    // loop; done runs on the peer's queue. On failure the whole tunnel ends.
    void openChannelForRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer, int type, uint32_t sharedHash,
                                  ChannelCompletion done);
    // The answering side of an open-forward message: opens its channel, then connects to the
    // named host from the global queue (the name lookup may block). done (optional) gets whether
    // the forward was set up.
    void addRemoteForwardForRemotePeer(const TunnexForwardRequest& request,
                                       const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                       std::function<void(bool)> done = {});
    void sendRemoteForwardResult(bool success, const TunnexForwardRequest& forward);
    // A client of a forwarded port arrived while the tunnel is down: queue it and start the tunnel.
    void startRemoteServiceWithChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request);
    // Enters a forwarded connection (and its data channel) under the key of hash; the table owns
    // it from now on. True when the remote's close notice for that hash came first: the caller
    // closes the channel by closeChannelForHash once it is bridged.
    bool addChannel(uint32_t hash, const std::shared_ptr<TunnexForwardedConnection>& connection);
    // The remote's close notice for a channel: the channel ends once its bytes are delivered.
    void closeChannelForHash(uint32_t channelHash);
    // Tells the remote and forgets every key of the channel.
    void closeChannel(const std::shared_ptr<TunnexSocket>& channel);
    // The data channel under the key of hash, if any.
    std::shared_ptr<TunnexSocketImpl> channelForHash(uint32_t hash) const;
    size_t channelKeyCount() const;
    // The forwarded connections in the table, each once.
    std::vector<std::shared_ptr<TunnexForwardedConnection>> forwardedConnections() const;
    size_t serviceListenerCount() const;
    // Counts channel openings and closed forwarded connections; the main channel closes
    // kMainChannelCloseDelaySeconds after the count falls to 0, unless it persists.
    void queueCloseOfMainChannel();
    void cancelCloseOfMainChannel();
    bool closeOfMainChannelQueued() const;
    // Closes every channel and the main channel, and the forward listeners unless kept; runs once
    // per peer. Kept listeners stay this peer's: cancelPortForwardForServiceKey still closes them.
    void teardownConnection(ForwardListeners listeners = ForwardListeners::Close);

    // --- datagram forwards (TunnexPeerDatagramForwards.cpp) ---
    // A datagram forward listens on a UDP port on one side and relays every datagram over the main
    // channel to host:port on the other side, in that one direction.

    // The hash both messages of one datagram-forward request carry: a stable hash of this
    // machine's UDID XOR the listening port.
    static uint32_t datagramForwardHash(uint16_t listeningPort);
    // The remote listens on listeningPort and this side sends what arrives to host:destinationPort.
    // The listening port, or 0 when host does not resolve here or the request cannot be sent; the
    // remote's listener reports through a result of kind 2.
    uint16_t requestReversePortForwardToPort(uint16_t destinationPort, const std::string& host, uint16_t listeningPort,
                                             const std::shared_ptr<TunnexRemotePeer>& remotePeer, Error* error);
    // Forwards stay until the teardown.
    void cancelPortFowardOnLocalPort(uint16_t port, int type) {
        (void)port;
        (void)type;
    }
    // The sending side: a UDP socket toward the resolved host, entered under the forward's hash
    // with the destination port. False when the host does not resolve or no socket can be made.
    bool addLocalUDPForward(const TunnexForwardRequest& forward, const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    // The listening side: a UDP socket bound on the port whose datagrams are relayed to the remote.
    // False when the port cannot be bound.
    bool addRemoteUDPForward(const TunnexRemoteUDPForwardRequest& forward,
                             const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    void sendLocalUDPForwardResult(bool success, const TunnexForwardRequest& forward);
    void sendRemoteUDPForwardResult(bool success, const TunnexRemoteUDPForwardRequest& forward);
    // Sockets of datagram forwards, listening and sending.
    size_t datagramForwardCount() const;

    // TunnexSocketDelegate: each data channel's AES-128-CFB streams start from this tunnel's keys;
    // nothing (the channel closes) while the keys are not agreed.
    std::optional<Bytes> encryptSomeBytes(const Bytes& data, TunnexStreamCipher& encryptor) override;
    std::optional<Bytes> decryptSomeBytes(const Bytes& data, TunnexStreamCipher& decryptor) override;
    bool encryptInPlace(std::span<uint8_t> bytes, TunnexStreamCipher& encryptor) override;
    bool decryptInPlace(std::span<uint8_t> bytes, TunnexStreamCipher& decryptor) override;
    void closedSocket(const std::shared_ptr<TunnexSocket>& socket) override;

    // KLNetSocketDelegate.
    void acceptedNewClientSocket(std::shared_ptr<KLNetSocket> socket) override {}
    void willBeginListeningForDatagramsOnSocket(KLNetSocket& socket) override;
    void datagramReceivedForSocketFromAddress(KLNetSocket& socket, const KLNetDatagram& data, const sockaddr* from,
                                              socklen_t fromLength) override;
    bool shouldContinueToReceiveDatagramsOnSocket(KLNetSocket& socket, bool& shouldClose) override;


    // --- properties ---
    bool wantEncryption() const { return wantEncryption_; }
    uint64_t assignedId() const { return assignedId_.load(); }
    void setAssignedId(uint64_t id) { assignedId_.store(id); }
    uint64_t pingCounter() const { return pingCounter_.load(); }
    void setPingCounter(uint64_t value) { pingCounter_.store(value); }
    uint64_t pongCounter() const { return pongCounter_.load(); }
    void setPongCounter(uint64_t value) { pongCounter_.store(value); }
    uint64_t peerConnectionHandle() const { return peerConnectionHandle_.load(); }
    void setPeerConnectionHandle(uint64_t handle) { peerConnectionHandle_.store(handle); }
    bool cancel() const { return cancel_.load(); }
    void setCancel(bool value) { cancel_.store(value); }
    bool contactedServer() const { return contactedServer_.load(); }
    bool usingEncryption() const { return usingEncryption_.load(); }
    void setUsingEncryption(bool value) { usingEncryption_.store(value); }
    bool mainChannelPersists() const { return mainChannelPersists_.load(); }
    void setMainChannelPersists(bool value) { mainChannelPersists_.store(value); }
    bool connectionComplete() const { return connectionComplete_.load(); }
    void setConnectionComplete(bool value) { connectionComplete_.store(value); }
    bool handoffComplete() const { return handoffComplete_.load(); }
    void setHandoffComplete(bool value) { handoffComplete_.store(value); }
    // Owned by the peer's queue: read and set them there (or once the queue's work is done).
    bool connectionCompletionInitiated() const { return connectionCompletionInitiated_; }
    void setConnectionCompletionInitiated(bool value) { connectionCompletionInitiated_ = value; }
    bool handshakeConfirmed() const { return handshakeConfirmed_; }
    void setHandshakeConfirmed(bool value) { handshakeConfirmed_ = value; }
    bool handshakeAccepted() const { return handshakeAccepted_; }
    void setHandshakeAccepted(bool value) { handshakeAccepted_ = value; }
    uint16_t basePort() const { return basePort_; }
    void setBasePort(uint16_t value) { basePort_ = value; }
    int64_t teardownToken() const { return teardownToken_; }
    void setTeardownToken(int64_t token) { teardownToken_ = token; }
    uint16_t tunnelCount() const { return mainChannelLink_.tunnelCount(); }
    void setTunnelCount(uint16_t value) { mainChannelLink_.setTunnelCount(value); }
    TunnexTunnelStatus connectionStatus() const { return connectionStatus_.load(); }
    void setConnectionStatus(TunnexTunnelStatus status) { connectionStatus_.store(status); }

    std::shared_ptr<KLNetSocket> handoffSocket() const;
    void setHandoffSocket(std::shared_ptr<KLNetSocket> socket);
    std::shared_ptr<TunnexSocket> mainChannel() const override;
    void setMainChannel(std::shared_ptr<TunnexSocket> channel);
    std::shared_ptr<TunnexRemotePeer> stunPeer() const;
    void setStunPeer(std::shared_ptr<TunnexRemotePeer> remotePeer);
    Bytes privateKey() const;
    void setPrivateKey(Bytes key);
    std::string serverHost() const;
    void setServerHost(std::string host);
    Date connectionInitiationDate() const;
    void setConnectionInitiationDate(Date date);
    // This peer's external address as the server reported it (family 0 until a pong named it).
    sockaddr_storage extAddress() const;
    std::shared_ptr<TunnexPeerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<TunnexPeerDelegate> delegate);
    // The manager that serves this peer's forwards: the one that took the peer, else the
    // process's shared one. Forwards made afterwards keep it weakly.
    std::shared_ptr<TunnexForwardManagerLink> forwardManager() const;
    void setForwardManager(std::weak_ptr<TunnexForwardManagerLink> manager);
    std::shared_ptr<TunnexPeerProgressDelegate> progressDelegate() const;
    void setProgressDelegate(std::weak_ptr<TunnexPeerProgressDelegate> delegate);
    std::shared_ptr<TunnexPeerInviteDelegate> inviteDelegate() const;
    void setInviteDelegate(std::weak_ptr<TunnexPeerInviteDelegate> delegate);
    // Hole-punch attempts by sender text ("a.b.c.d:port") and the socket that answered each.
    std::map<std::string, std::weak_ptr<KLNetSocket>> connectionAttempts() const;

private:
    // The registration's two steps: a successor for oldPeer (only while oldPeer is registered,
    // with onlyIfRegistered), and a fresh ping socket that becomes the active one while owner
    // holds the registration; owner's datagram loop listens on it either way.
    // A successor inherits oldPeer's context; without oldPeer, context is the one.
    static std::shared_ptr<TunnexPeer> recycle(TunnexContext& context, const std::shared_ptr<TunnexPeer>& oldPeer,
                                               bool onlyIfRegistered);
    static std::shared_ptr<KLNetSocket> replacePingSocket(TunnexContext& context,
                                                          const std::shared_ptr<TunnexPeer>& oldPeer,
                                                          const std::shared_ptr<TunnexPeer>& owner);
    static void closePingSocket(TunnexContext& context);
    static void releaseWhenQuiet(std::shared_ptr<KLNetSocket> socket, int check);
    static void setRegisteredPeer(TunnexContext& context, std::shared_ptr<TunnexPeer> peer);
    // Arms the ping time-out on the context's registered peer.
    static void setupTimeOut(TunnexContext& context);
    // The connect request's plaintext naming this node by uuid.
    static Bytes connectMessageFor(const std::string& uuid, uint64_t peerId, uint64_t transactionId);
    static TunnexContext& contextOf(const std::shared_ptr<TunnexPeer>& peer);
    // Scheduled pings and time-outs of this peer, cancelled together.
    void cancelPendingRequests();
    void schedulePing(Duration delay);
    void scheduleTimeOut(Duration delay);

    // The main channel's handlers (TunnexPeerMainChannel.cpp) and the forwarding messages' hooks
    // (streams: TunnexPeerChannels.cpp; datagrams and results: TunnexPeerDatagramForwards.cpp).
    void handleMainChannelMessage(const TunnexMainChannelMessage& message);
    void handleKeyExchangeMessage(const TunnexMainChannelMessage& message);
    void addRemoteForward(const TunnexForwardRequest& request);
    void addLocalUDPForward(const TunnexForwardRequest& request);
    // Sends the result of a listening side once its loop has bound (or failed to).
    static void awaitDatagramBind(const std::weak_ptr<TunnexPeer>& weak, const TunnexRemoteUDPForwardRequest& request,
                                  const std::shared_ptr<KLNetSocket>& socket,
                                  std::chrono::steady_clock::time_point deadline);
    void addRemoteUDPForward(const TunnexRemoteUDPForwardRequest& request);
    void deliverForwardDatagram(const TunnexForwardDatagram& datagram);
    // The datagram half of requestPortForwardFromPort: this side listens on localPort (for
    // datagrams of this machine only when loopbackOnly).
    uint16_t requestDatagramForward(uint16_t localPort, const std::string& host, uint16_t remotePort,
                                    bool loopbackOnly, const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    void reportPortForwardResult(const ForwardSuccessResult& result);
    // The data channel for the shared hash under the pairing rule (TunnexPeerChannelOpening.cpp);
    // announce is the open-forward message of this side's own request. Any thread; done runs on
    // the peer's queue.
    void obtainChannel(const std::shared_ptr<TunnexRemotePeer>& remotePeer, uint32_t sharedHash,
                       std::optional<Bytes> announce, ChannelCompletion done);
    // On the queue: carries out what the opener decided and arms its next tick.
    void runChannelOpener(TunnexChannelOpener::Output out);
    void tickChannelOpener();
    // Every waiting opening fails (the tunnel ends).
    void failChannelOpenings();
    TunnexChannelOpener::Facts channelOpenerFacts();
    // On the queue: samples what the channel opened last hears, until its remote has sent data
    // or the moment until has passed.
    void watchLastChannel(std::chrono::steady_clock::time_point until);
    // Any thread, before a channel closes: keeps what it heard when it is the one opened last.
    void noteLastChannelFacts(const std::shared_ptr<TunnexSocket>& channel);
    // On the queue: reads every message the main channel holds now (besides the socket manager's
    // poll thread, which reads one message per pass) and handles all that were read so far.
    void readWaitingMainChannelMessages();
    // On the queue: handles the messages read so far, in the order read.
    void handleReadMainChannelMessages();
    // Reads one waiting message into the inbox: true when one was taken, false when none waits (or
    // no channel is there yet); an error when the channel is to be dropped. In a read turn.
    TunnexResult<bool> readMainChannelMessage(TunnexMainChannelLink::ReadTurn& turn);
    // The outcome of one data-channel connect, on the queue: the channel entered under a fresh
    // hash, or empty after the failure has ended the tunnel.
    std::shared_ptr<TunnexSocketImpl> channelConnected(const std::shared_ptr<TunnexRemotePeer>& remotePeer, int udpFd,
                                                       const TunnexResult<int>& opened);
    // The answering side's connection to the named host, once its channel exists and the name is
    // looked up (global queue). A failure has told the remote and closed the channel.
    TunnexResult<void> connectAnsweredForward(const TunnexForwardRequest& request,
                                              const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                              const std::shared_ptr<TunnexSocketImpl>& channel,
                                              const SockAddrPtr& address, const std::string& canonical);
    void markClosedWhenDelivered(const std::shared_ptr<TunnexSocketImpl>& channel,
                                 std::chrono::steady_clock::time_point deadline, uint64_t bytesSeen);
    // True the first time the current tunnel ends, so its outcome is reported once.
    bool claimMainChannelEnd() { return mainChannelLink_.claimEnd(); }
    void closeMainChannel();

    // The dispatcher's branches.
    // A classified datagram of the handoff or ping socket, on the queue.
    void handleDatagram(KLNetSocket& socket, const Bytes& bytes, const TunnexPeerDatagram& datagram,
                        const sockaddr_in& sender, bool onPingSocket);
    void handleServerReply(std::span<const uint8_t> bytes, bool onActivePingSocket);
    // One send of a connect request, and the next one armed on the queue.
    void repeatInvitationRequest(const std::shared_ptr<const Bytes>& datagram, const std::shared_ptr<KLNetSocket>& socket,
                                 uint16_t port, int sent);
    void handleHello(KLNetSocket& socket, const TunnexPeerDatagram& datagram, const sockaddr_in& sender,
                     const std::string& senderText);
    void handleConfirm(KLNetSocket& socket, const TunnexPeerDatagram& datagram, const sockaddr_in& sender,
                       const std::string& senderText);
    void handleAccept(KLNetSocket& socket, const TunnexPeerDatagram& datagram, const sockaddr_in& sender,
                      const std::string& senderText);
    void relayForwardDatagram(KLNetSocket& socket, std::span<const uint8_t> bytes, const sockaddr* from,
                              socklen_t fromLength);
    void handleUDTPacket(KLNetSocket& socket, const sockaddr_in& sender, const std::string& senderText);
    // What a hole-punch word carries into its handler once it passed the checks every word passes.
    struct AdmittedHandshakeWord {
        std::shared_ptr<TunnexPeerConnectionLayer> layer;
        std::shared_ptr<TunnexRemotePeer> stun;
        std::shared_ptr<TunnexTransaction> transaction;
        bool originator = false;
    };
    // A hole-punch layer runs, the completion has not started, and the datagram is the record of
    // the attempt under way from an address its invitation named; nothing (logged) otherwise.
    std::optional<AdmittedHandshakeWord> admitHandshakeWord(const TunnexPeerDatagram& datagram,
                                                            const sockaddr_in& sender, const std::string& senderText);
    // The transaction of the attempt under way when the datagram is its record and comes from an
    // address the invitation named; null (logged) otherwise.
    std::shared_ptr<TunnexTransaction> attemptTransactionOf(const TunnexPeerDatagram& datagram,
                                                            const std::shared_ptr<TunnexRemotePeer>& stun,
                                                            const sockaddr_in& sender, const std::string& senderText);
    // Points the remote at the sender, hands the socket to the transport and starts the completion.
    void completeTowardSender(TunnexPeerConnectionLayer& layer, const std::shared_ptr<TunnexRemotePeer>& stun,
                              KLNetSocket& socket, const sockaddr_in& sender);
    // True (and logged) once the connection's completion has started.
    bool ignoredAfterCompletion(const std::string& senderText) const;
    // Points the remote record at the sender of the last datagram that passed the tests.
    void pointStunPeerAtSender(const std::shared_ptr<TunnexRemotePeer>& remote, KLNetSocket& socket,
                               const sockaddr_in& sender);
    // The transaction of a record, logging a missing one or one of another remote.
    std::shared_ptr<TunnexTransaction> transactionOfRecord(int64_t transactionId,
                                                           const std::shared_ptr<TunnexRemotePeer>& stunPeer,
                                                           bool* matchesStunPeer);

    const bool wantEncryption_;
    const TunnexClock clock_;
    const std::shared_ptr<TunnexContext> context_;
    const std::unique_ptr<SerialQueue> queue_;
    // Guards the fields named "guarded by lock_" (the encryption model, the hole-punch attempts).
    mutable std::mutex lock_;

    std::atomic<uint64_t> assignedId_;
    std::atomic<uint64_t> pingCounter_{0};
    std::atomic<uint64_t> pongCounter_{0};
    std::atomic<uint64_t> peerConnectionHandle_{0};
    std::atomic<bool> cancel_{false};
    std::atomic<bool> contactedServer_{false};
    std::atomic<bool> usingEncryption_{false};
    std::atomic<bool> mainChannelPersists_{true};
    std::atomic<bool> connectionComplete_{false};
    // Read by the handoff socket's loop thread to know when to stop.
    std::atomic<bool> handoffComplete_{false};
    // Read by the tunnel manager and the daemon from their own threads.
    std::atomic<TunnexTunnelStatus> connectionStatus_{TunnexTunnelDisconnected};
    // Owned by the peer's queue: the handshake's progress and the unused counters of the record.
    bool connectionCompletionInitiated_ = false;
    bool handshakeConfirmed_ = false;
    bool handshakeAccepted_ = false;
    uint16_t basePort_ = 0;
    int64_t teardownToken_ = 0;
    std::atomic<bool> tornDown_{false};
    // Owned by the queue: the key exchange of the current main channel.
    TunnexEncryptionHandshake keyExchange_{false};

    // State grouped by concern; each says what guards it.
    TunnexMainChannelLink mainChannelLink_;
    TunnexChannelTable channelTable_;
    TunnexDatagramForwardTable datagramForwards_;
    TunnexChannelOpenings channelOpenings_;  // TunnexPeerChannelOpening.cpp
    TunnexPingTimers pingTimers_;

    // Guards the reference, text and address fields below.
    mutable std::mutex fieldsMutex_;
    std::shared_ptr<KLNetSocket> handoffSocket_;
    std::shared_ptr<TunnexSocket> mainChannel_;
    std::shared_ptr<TunnexRemotePeer> stunPeer_;
    Bytes privateKey_;
    std::string serverHost_;
    Date connectionInitiationDate_;
    sockaddr_storage extAddress_{};
    std::weak_ptr<TunnexPeerDelegate> delegate_;
    std::weak_ptr<TunnexPeerProgressDelegate> progressDelegate_;
    std::weak_ptr<TunnexPeerInviteDelegate> inviteDelegate_;
    std::weak_ptr<TunnexForwardManagerLink> forwardManager_;

    // Guarded by lock_.
    std::shared_ptr<TunnexEncryption> encryptModel_;
    // The sockets are held weakly: an answered fresh socket belongs to its wait or its completion,
    // and a closed one kept here would hold its wake descriptor for as long as the peer lives.
    std::map<std::string, std::weak_ptr<KLNetSocket>> connectionAttempts_;
};

}  // namespace kl
