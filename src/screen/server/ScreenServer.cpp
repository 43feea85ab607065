#include "screen/server/ScreenServer.h"

#include <poll.h>
#include <unistd.h>

#include "foundation/KLTLogging.h"
#include "platform/NotifyBus.h"
#include "screen/server/BusyTakeOver.h"
#include "screen/server/KLTPreferences.h"
#include "screen/rtp/KLTNimRTPEncoder.h"
#include "screen/server/NoApplicationsSource.h"

namespace kl {
namespace {

// A viewer that has hung up is gone even before its reader has read the end: the next viewer is
// not to be told that it is busy.
bool stillConnected(const ViewerChannel& channel) {
    if (!channel.isOpen()) return false;
    auto net = channel.netSocket();
    if (!net) return true;  // no peer that could have hung up
    int fd = net->sock();
    if (fd < 0) return false;
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 0 || !(p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

}  // namespace

std::shared_ptr<ScreenServer> ScreenServer::initOnPort(uint16_t port, std::shared_ptr<ScreenServerDelegate> delegate,
                                                       MainLoop& loop, KLTDisplayConfiguration& display) {
    return std::make_shared<ScreenServer>(Private{}, port, std::move(delegate), loop, display);
}

std::shared_ptr<ScreenServer> ScreenServer::initForMulticast(std::shared_ptr<ScreenServerDelegate> delegate,
                                                             MainLoop& loop, KLTDisplayConfiguration& display,
                                                             RTPDestinations destinations) {
    auto server = std::make_shared<ScreenServer>(Private{}, 0, std::move(delegate), loop, display);
    server->mIsMulticast = true;
    server->mConnectedDeviceName = "Broadcast";
    server->mMulticastDestinations = std::move(destinations);
    server->mEncoderClass = [](std::shared_ptr<EncoderOutput> output) {
        auto encoder = std::make_shared<KLTNimRTPEncoder>();
        encoder->setOutput(std::move(output));
        return encoder;
    };
    return server;
}

ScreenServer::ScreenServer(Private, uint16_t port, std::shared_ptr<ScreenServerDelegate> delegate, MainLoop& loop,
                           KLTDisplayConfiguration& display)
    : mPort(port),
      mDelegate(std::move(delegate)),
      mLoop(loop),
      mDisplayConfiguration(display),
      mCore(mDelegate->activeProtocol()) {
    if (mDelegate->supportsAppInfo()) mAppSource = std::make_shared<NoApplicationsSource>();
}

ScreenServer::~ScreenServer() {
    if (mListener || mBroadcastSocket || connection()) stop();
}

void ScreenServer::setApplicationInfoSource(std::shared_ptr<ApplicationInfoSource> source) {
    std::lock_guard lock(mFieldsLock);
    mAppSource = std::move(source);
}

void ScreenServer::setInputDatagramSink(std::shared_ptr<InputDatagramSink> sink) {
    std::lock_guard lock(mFieldsLock);
    mInputSink = std::move(sink);
}

void ScreenServer::setApplicationModelHooks(ApplicationModelHooks hooks) {
    std::lock_guard lock(mFieldsLock);
    mApplicationModelHooks = std::move(hooks);
}

ScreenServer::ApplicationModelHooks ScreenServer::applicationModelHooks() {
    std::lock_guard lock(mFieldsLock);
    return mApplicationModelHooks;
}

std::shared_ptr<ApplicationInfoSource> ScreenServer::appSource() {
    std::lock_guard lock(mFieldsLock);
    return mAppSource;
}

std::shared_ptr<InputDatagramSink> ScreenServer::inputSink() {
    std::lock_guard lock(mFieldsLock);
    return mInputSink;
}

void ScreenServer::setSupportedResolutions(std::vector<SupportedResolution> list) { mResolutions = std::move(list); }

bool ScreenServer::start(Error* error) {
    mShutdown = false;
    mDisplayConfiguration.setDelegate(weak_from_this());
    {
        std::lock_guard lock(mFieldsLock);
        mDisplayResolution = mClientDisplayResolution = Size();
        mDisplayScale = 1.0;
    }
    {
        std::lock_guard lock(mCursorImageLock);
        mCurrentCursor = mDelegate->mouseCursor();
    }
    if (mIsMulticast) {
        // The canned viewer arrives at once, on the main loop like any accepted viewer.
        mBroadcastSocket = std::make_unique<KLNetRTPBroadcastSocket>(mMulticastDestinations);
        return mBroadcastSocket->listenOnPort(mPort, [weak = weak_from_this(), loop = &mLoop](auto socket) {
            loop->post([weak, socket = std::move(socket)] {
                auto self = weak.lock();
                if (self && !self->mShutdown && !self->connection())
                    self->acceptViewer(socket);
                else
                    socket->close();
            });
        });
    }
    mListener = std::make_unique<ViewerListener>(::getuid(), [weak = weak_from_this(), loop = &mLoop](auto socket) {
        loop->post([weak, socket = std::move(socket)] {
            if (auto self = weak.lock())
                self->acceptedNewClientSocket(socket);
            else
                socket->close();
        });
    });
    if (!mListener->start(mPort)) {
        KLLog(kKLTLoggingLevelError, "ScreenServer: cannot listen on port %u", unsigned(mPort));
        if (error) *error = Error("com.kelvaro.Deskgate", 1);
        mListener.reset();
        return false;
    }
    return true;
}

std::shared_ptr<ViewerConnection> ScreenServer::connection() {
    std::lock_guard lock(mFieldsLock);
    return mConnection;
}

bool ScreenServer::isCurrent(uint64_t connectionID) {
    std::lock_guard lock(mFieldsLock);
    return mConnection && mConnection->id == connectionID;
}

bool ScreenServer::viewerConnected() {
    auto c = connection();
    return c && c->socket->isOpen();
}

std::shared_ptr<KLTDisplaySet> ScreenServer::screen() {
    std::lock_guard lock(mFieldsLock);
    return mScreen;
}

ScreenServerState ScreenServer::state() {
    return withCore([](ViewerConnectionCore& core) { return core.state(); });
}

void ScreenServer::setState(ScreenServerState state) {
    withCore([state](ViewerConnectionCore& core) { core.setState(state); });
}

uint64_t ScreenServer::attachedClientId() {
    return withCore([](ViewerConnectionCore& core) { return core.attachedClientId(); });
}

ClientCapabilities ScreenServer::capabilities() {
    return withCore([](ViewerConnectionCore& core) { return core.capabilities(); });
}

uint16_t ScreenServer::inputSidebandPort() { return mInputSidebandPort; }

void ScreenServer::acceptedNewClientSocket(std::shared_ptr<KLNetSocket> socket) {
    if (mShutdown) {
        socket->close();
        return;
    }
    if (auto current = connection()) {
        if (stillConnected(*current->socket)) {
            // The exchange waits for the newcomer's reply: on the server's own thread for it, never on
            // the main loop or the pool.
            uint64_t attached = attachedClientId();
            startBusyExchange(socket);
            mBusyExchanges.post([weak = weak_from_this(), loop = &mLoop, socket, attached, currentID = current->id] {
                const bool takesOver = runBusyExchange(*socket, attached);
                if (auto self = weak.lock()) self->endBusyExchange(socket);
                if (!takesOver) {
                    socket->close();
                    return;
                }
                loop->post([weak, socket, currentID] {
                    auto self = weak.lock();
                    if (!self || self->mShutdown || (self->connection() && !self->isCurrent(currentID))) {
                        socket->close();  // the viewer whose id it echoed is gone
                        return;
                    }
                    KLLog(kKLTLoggingLevelInfo, "ScreenServer: a new viewer takes the connection over");
                    self->reset();
                    self->acceptedNewClientSocket(socket);
                });
            });
            return;
        }
        reset();  // its reader has ended and the news is still on its way
    }
    acceptViewer(std::make_shared<NetSocketViewerChannel>(std::move(socket)));
}

void ScreenServer::startBusyExchange(const std::shared_ptr<KLNetSocket>& socket) {
    std::lock_guard lock(mFieldsLock);
    mBusyNewcomers.insert(socket);
}

void ScreenServer::endBusyExchange(const std::shared_ptr<KLNetSocket>& socket) {
    std::lock_guard lock(mFieldsLock);
    mBusyNewcomers.erase(socket);
}

// Closing a newcomer wakes its exchange's read, so stopping never waits out an exchange's limit.
void ScreenServer::closeBusyNewcomers() {
    std::set<std::shared_ptr<KLNetSocket>> newcomers;
    {
        std::lock_guard lock(mFieldsLock);
        newcomers.swap(mBusyNewcomers);
    }
    for (const auto& socket : newcomers) socket->close();
}

void ScreenServer::acceptViewer(std::shared_ptr<ViewerChannel> socket) {
    auto net = socket->netSocket();
    if (net) net->setTiming(mViewerTiming);
    auto c = std::make_shared<ViewerConnection>(mNextConnectionID++, socket, mEncoderClass);
    {
        std::lock_guard lock(mFieldsLock);
        mDisplayResolution = mClientDisplayResolution = Size();
        mDisplayScale = 1.0;
    }
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (net) {
        ::getsockname(net->sock(), reinterpret_cast<sockaddr*>(&local), &localLength);
        ::getpeername(net->sock(), reinterpret_cast<sockaddr*>(&peer), &peerLength);
    } else {
        peerLength = 0;
    }

    // Input arrives on the address the viewer reached us on (loopback: the tunnel's end). A
    // channel without a peer (the RTP output path) has no sidebands: no one sends input or
    // receives the cursor.
    auto sink = net ? inputSink() : nullptr;
    if (net) c->input = InputSideband::open(local, mDelegate->serverSidebandPort(),
                                   [sink](std::span<const uint8_t> datagram, const sockaddr_storage& from,
                                          socklen_t fromLength) {
                                       if (sink) sink->handleInputDatagram(datagram, from, fromLength);
                                   });
    mInputSidebandPort = c->input ? c->input->port() : 0;
    if (net) {
        std::lock_guard lock(mSidebandLock);
        mOutputSideband = KLNetSocket::initUDPClientWithFamily(peer.ss_family);
        mOutputDestination = peer;
        setSocketAddressPort(mOutputDestination, mDelegate->clientSidebandPort());
    }
    {
        std::lock_guard lock(mFieldsLock);
        mConnection = c;
    }
    if (sink) sink->viewerChanged(&peer, peerLength);

    c->session = std::make_unique<ViewerSession>(socket, mCore, mCoreLock, sessionHandlers(c.get()));
    c->cursorTick = std::make_unique<PeriodicThread>(kMouseTickInterval, [this] { mouseTick(); });
    c->session->start();
    int protocol = mDelegate->activeProtocol();
    if (protocol == 1 || protocol == 3) mDelegate->wakeScreen();
    KLLog(kKLTLoggingLevelInfo, "ScreenServer: viewer connected from %s",
          net ? socketAddressString(peer).c_str() : mConnectedDeviceName.c_str());
    NotifyBus::post(kServerRespondedToConnectRequest, NotifyBus::Scope::Session);
}

ViewerSession::Handlers ScreenServer::sessionHandlers(ViewerConnection* c) {
    // The reader runs only while the connection (and so the server, which joins it) exists.
    uint64_t id = c->id;
    return {
        [this, id](HandshakeAction action) { handshakeReceived(id, action); },
        [this, c](ViewerSession&) { return processUpdateRequestMsg(*c); },
        [weak = weak_from_this(), loop = &mLoop, id] {
            loop->post([weak, id] {
                if (auto self = weak.lock()) self->connectionEnded(id);
            });
        },
        [this](const std::vector<IconHash>& hashes) {
            if (auto hooks = applicationModelHooks(); hooks.viewerHoldsIcon)
                for (const auto& hash : hashes) hooks.viewerHoldsIcon(hash);
        },
    };
}

void ScreenServer::handshakeReceived(uint64_t connectionID, HandshakeAction action) {
    switch (action) {
    case HandshakeAction::Activate: {
        ClientHandshakeMsg msg = withCore([](ViewerConnectionCore& core) { return core.pendingDisplaySize(); });
        activateOrChangeDisplayOnGlobalQueue(msg, false, connectionID);
        break;
    }
    case HandshakeAction::ScheduleSizeChange:
        KLLog(kKLTLoggingLevelInfo, "scheduleDisplaySizeChange: queueing a pending resolution change");
        break;
    case HandshakeAction::Ignore: break;
    }
}

void ScreenServer::connectionEnded(uint64_t connectionID) {
    if (!isCurrent(connectionID)) return;  // replaced by a viewer that took over
    KLLog(kKLTLoggingLevelInfo, "ScreenServer: viewer connection ended");
    NotifyBus::post(kServerDisconnectedFromDevice, NotifyBus::Scope::Session);
    if (mDelegate->activeProtocol() == 1) {
        mDelegate->restoreScreenState();
        reset();
    } else {
        stop();
    }
}

void ScreenServer::reset() {
    // The viewer's socket first: a reader blocked sending to it gives up the locks taken below.
    if (auto c = connection()) c->socket->close();
    {
        std::lock_guard lock(mSidebandLock);
        if (mOutputSideband) mOutputSideband->close();
        mOutputSideband.reset();
    }
    {
        std::lock_guard frameBuffer(mFrameBufferLock);
        // One disconnection of the display (a second would only repeat the notification and
        // take back a screen-refresh listener twice).
        if (screen()) disconnectFromDevice();
    }
    std::shared_ptr<ViewerConnection> old;
    {
        std::lock_guard lock(mFieldsLock);
        old = std::move(mConnection);
    }
    if (old) old->shutdown();
    mInputSidebandPort = 0;
    withCore([](ViewerConnectionCore& core) { core.reset(); });
    if (auto hooks = applicationModelHooks(); hooks.reset) hooks.reset();
    if (auto sink = inputSink(); old && sink) sink->viewerChanged(nullptr, 0);
}

void ScreenServer::stop() {
    closeBusyNewcomers();
    reset();
    mDisplayConfiguration.setDelegate({});
    mListener.reset();
    mBroadcastSocket.reset();
    withCore([](ViewerConnectionCore& core) { core.stop(); });
}

// The viewer's reader ends once its socket is closed and reports the end on the main loop; nothing
// waits for it here.
void ScreenServer::setShutdown(bool shutdown) {
    mShutdown = shutdown;
    if (!shutdown) return;
    if (auto c = connection()) c->socket->close();
}

void ScreenServer::didConnectToDevice(std::shared_ptr<KLTDisplaySet> display) {
    NotifyBus::post(kServerConnectedToDevice, NotifyBus::Scope::Session);
    {
        std::lock_guard lock(mFieldsLock);
        mScreen = display;
    }
    if (display && KLTPreferences::sharedAppPrefs().firstRun()) KLTPreferences::sharedAppPrefs().setFirstRun(false);
    mDisplayConfiguration.setListenToScreenRefresh(true);
}

void ScreenServer::willDisconnectFromDevice() {
    setState(ScreenServerState::Disconnecting);
    mDisplayIsEnabled = false;
}

void ScreenServer::didDisconnectFromDevice() {
    NotifyBus::post(kServerDisconnectedFromDevice, NotifyBus::Scope::Session);
    mDisplayConfiguration.setListenToScreenRefresh(false);
    std::lock_guard lock(mFieldsLock);
    mScreen.reset();
}

void ScreenServer::disconnectFromDevice() {
    willDisconnectFromDevice();
    mDelegate->disableDisplay();
    didDisconnectFromDevice();
}

bool ScreenServer::sendSidebandDatagram(std::span<const uint8_t> datagram) {
    std::lock_guard lock(mSidebandLock);
    if (!mOutputSideband) return false;
    return mOutputSideband->sendDatagram(datagram.data(), uint32_t(datagram.size()), mOutputDestination);
}

void ScreenServer::portweaverReceivedConnectionRequest(const std::string& request) {
    KLLog(kKLTLoggingLevelInfo, "portweaverReceivedConnectionRequest: %s", request.c_str());
}

}  // namespace kl
