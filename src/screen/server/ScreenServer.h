// ScreenServer: the screen service's one viewer at a time. It listens on loopback, greets each
// viewer, turns a second one away or lets it take over, reads the viewer's requests and answers
// each update request with the changed tiles, the cursor and the application section, ticks the
// cursor position to the viewer's output sideband at 120 Hz, hands input datagrams to the input
// sink, activates the display set for the viewer and follows the host's display changes.
//
// Threads and locks:
//  - main loop: accepting, the end of a connection, reset/stop, display-configuration callbacks
//    (reconfigurations hold the frame-buffer lock), the wake timer;
//  - the viewer's reader: requests and update answers, under the connection's transmission lock,
//    then the frame-buffer lock (try only: an update never waits for a reconfiguration), then the
//    encoder's lock;
//  - threads of the server's own: display activation (under the frame-buffer lock) on one, the
//    busy exchange with a second viewer on another (neither runs on the global pool);
//  - the cursor tick and the input sideband reader, one each per connection.
// The connection core (state, client id, capabilities) is guarded by mCoreLock, the output
// sideband by mSidebandLock, the display set and sizes by mFieldsLock; the connection pointer is
// changed only on the main loop, under mFieldsLock.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "foundation/KLNetSocket.h"
#include "platform/Executors.h"
#include "platform/WorkerThread.h"
#include "screen/KLTDisplayConfiguration.h"
#include "screen/KLTDisplaySet.h"
#include "screen/rtp/KLNetRTPBroadcastSocket.h"
#include "screen/server/ApplicationInfoSource.h"
#include "screen/server/InputDatagramSink.h"
#include "screen/server/ScreenServerDelegate.h"
#include "screen/server/SupportedResolutions.h"
#include "screen/server/ViewerConnection.h"
#include "screen/server/ViewerConnectionCore.h"
#include "screen/server/ViewerListener.h"

namespace kl {

inline constexpr const char* kServerRespondedToConnectRequest = "com.kelvaro.Deskgate.ServerRespondedToConnectRequest";
inline constexpr const char* kServerConnectedToDevice = "com.kelvaro.Deskgate.ServerConnectedToDevice";
inline constexpr const char* kServerDisconnectedFromDevice = "com.kelvaro.Deskgate.ServerDisconnectedFromDevice";

// 1/120 s, as the platform's timer had it.
inline constexpr std::chrono::nanoseconds kMouseTickInterval{8333334};
inline constexpr std::chrono::seconds kWakeTimerDelay{1};

class ScreenServer : public KLTDisplayConfigurationDelegate, public std::enable_shared_from_this<ScreenServer> {
    struct Private {};

public:
    // display: the configuration whose delegate the server becomes while it runs.
    static std::shared_ptr<ScreenServer> initOnPort(uint16_t port, std::shared_ptr<ScreenServerDelegate> delegate,
                                                    MainLoop& loop, KLTDisplayConfiguration& display);
    // The RTP output path: no port, device "Broadcast", the RTP encoder, and instead of a
    // listener one canned viewer whose updates go out as RTP frames to destinations. Nothing in
    // the service starts it.
    static std::shared_ptr<ScreenServer> initForMulticast(std::shared_ptr<ScreenServerDelegate> delegate,
                                                          MainLoop& loop, KLTDisplayConfiguration& display,
                                                          RTPDestinations destinations = {});
    ScreenServer(Private, uint16_t port, std::shared_ptr<ScreenServerDelegate> delegate, MainLoop& loop,
                 KLTDisplayConfiguration& display);
    ~ScreenServer() override;
    ScreenServer(const ScreenServer&) = delete;
    ScreenServer& operator=(const ScreenServer&) = delete;

    // The application section's source and the input sink take effect with the next viewer.
    void setApplicationInfoSource(std::shared_ptr<ApplicationInfoSource> source);
    void setInputDatagramSink(std::shared_ptr<InputDatagramSink> sink);
    // The application model's side of a viewer: the icons its handshake says it holds (on the
    // reader thread), and the server's reset, which forgets them and the rest of that model.
    struct ApplicationModelHooks {
        std::function<void(const IconHash&)> viewerHoldsIcon;
        std::function<void()> reset;
    };
    void setApplicationModelHooks(ApplicationModelHooks hooks);
    void setSupportedResolutions(std::vector<SupportedResolution> list);
    void setConnectedAddress(std::string address) { mConnectedAddress = std::move(address); }
    void setMirroringOnly(bool on) { mMirroringOnly = on; }
    // The viewer's socket timing (the read limit that ends a silent viewer); tests shorten it.
    void setViewerTiming(const KLNetSocket::Timing& timing) { mViewerTiming = timing; }

    // Listens on the port, loopback only; false when it cannot.
    bool start(Error* error = nullptr);
    // Back to waiting: the viewer connection (if any) ends and the display set is let go. Main loop.
    void reset();
    // reset(), then no more listening: state 1. Main loop (or after the loop stopped).
    void stop();
    // Ends the viewer connection and refuses new ones while set.
    void setShutdown(bool shutdown);

    ScreenServerState state();
    void setState(ScreenServerState state);
    uint64_t attachedClientId();
    ClientCapabilities capabilities();
    uint16_t port() const { return mListener ? mListener->port() : mPort; }
    // The input sideband's bound port while a viewer is connected, else 0.
    uint16_t inputSidebandPort();
    std::shared_ptr<KLTDisplaySet> screen();
    bool viewerConnected();
    bool isMulticast() const { return mIsMulticast; }
    const std::string& connectedDeviceName() const { return mConnectedDeviceName; }

    // One datagram to the viewer's output sideband; false when none is connected or the send failed.
    bool sendSidebandDatagram(std::span<const uint8_t> datagram);
    void portweaverReceivedConnectionRequest(const std::string& request);

    // KLTDisplayConfigurationDelegate (main loop).
    std::recursive_mutex* frameBufferLockObject() override { return &mFrameBufferLock; }
    void screenReconfigured(uint32_t flags) override;
    void feedQueuedRefreshes() override {}
    void screenRefreshed(uint32_t count, const Rect* rects) override;

private:
    // Connections (ScreenServer.cpp).
    void acceptedNewClientSocket(std::shared_ptr<KLNetSocket> socket);
    void acceptViewer(std::shared_ptr<ViewerChannel> socket);
    // The newcomers whose busy exchange is under way, so stop() can cut the exchanges short.
    void startBusyExchange(const std::shared_ptr<KLNetSocket>& socket);
    void endBusyExchange(const std::shared_ptr<KLNetSocket>& socket);
    void closeBusyNewcomers();
    void connectionEnded(uint64_t connectionID);
    std::shared_ptr<ViewerConnection> connection();
    std::shared_ptr<ApplicationInfoSource> appSource();
    std::shared_ptr<InputDatagramSink> inputSink();
    ApplicationModelHooks applicationModelHooks();
    bool isCurrent(uint64_t connectionID);
    ViewerSession::Handlers sessionHandlers(ViewerConnection* connection);
    void handshakeReceived(uint64_t connectionID, HandshakeAction action);
    void didConnectToDevice(std::shared_ptr<KLTDisplaySet> display);
    void willDisconnectFromDevice();
    void didDisconnectFromDevice();
    void disconnectFromDevice();
    template <class F>
    auto withCore(F&& f) {
        std::lock_guard lock(mCoreLock);
        return f(mCore);
    }

    // Updates and the cursor (ScreenServerUpdate.cpp).
    bool processUpdateRequestMsg(ViewerConnection& connection);
    bool screenUpdate(ViewerConnection& connection, bool& failed);
    bool sendCursorPosition(UpdateOutput& output);
    bool sendCursorImage(UpdateOutput& output);
    void mouseTick();
    void addWholeScreenToDirtyRectangles(ViewerConnection& connection);

    // Display activation and changes (ScreenServerDisplay.cpp).
    void activateOrChangeDisplayOnGlobalQueue(const ClientHandshakeMsg& msg, bool isHostRequest,
                                              uint64_t connectionID);
    void activateOrChangeDisplay(ClientHandshakeMsg msg, bool isHostRequest, uint64_t connectionID);
    int resolveDisplayMode(const ClientHandshakeMsg& msg, ViewerConnection& connection);
    bool clientReconfiguringScreen(ViewerConnection& connection);
    void hostInitiatedScreenSizeChange(uint32_t flags);
    void notifyClientOfResolutionChange(ViewerConnection& connection, bool forceReply);
    void startWakeTimer(uint64_t connectionID);
    void screenWakeTimer(uint64_t connectionID);

    const uint16_t mPort;
    const std::shared_ptr<ScreenServerDelegate> mDelegate;
    MainLoop& mLoop;
    KLTDisplayConfiguration& mDisplayConfiguration;
    std::string mConnectedAddress = "127.0.0.1";
    bool mMirroringOnly = false;
    KLNetSocket::Timing mViewerTiming;
    std::vector<SupportedResolution> mResolutions;       // set before start()
    std::unique_ptr<ViewerListener> mListener;           // main loop
    // The RTP output path's fields, set by initForMulticast before start().
    bool mIsMulticast = false;
    std::string mConnectedDeviceName;
    RTPDestinations mMulticastDestinations;
    ViewerConnection::EncoderFactory mEncoderClass = ViewerConnection::liveEncoder;
    std::unique_ptr<KLNetRTPBroadcastSocket> mBroadcastSocket;  // main loop
    std::atomic<bool> mShutdown{false};
    std::atomic<uint16_t> mInputSidebandPort{0};
    uint64_t mNextConnectionID = 1;                      // main loop

    std::mutex mCoreLock;
    ViewerConnectionCore mCore;

    std::recursive_mutex mFrameBufferLock;

    std::mutex mFieldsLock;
    std::shared_ptr<ApplicationInfoSource> mAppSource;
    std::shared_ptr<InputDatagramSink> mInputSink;
    ApplicationModelHooks mApplicationModelHooks;
    std::shared_ptr<ViewerConnection> mConnection;
    std::shared_ptr<KLTDisplaySet> mScreen;
    Size mDisplayResolution;
    double mDisplayScale = 1.0;
    Size mClientDisplayResolution;
    Point mMouseLocation;
    bool mMouseVisible = false;
    std::set<std::shared_ptr<KLNetSocket>> mBusyNewcomers;

    // The activation's own fields: under the frame-buffer lock.
    bool mDisplayIsEnabled = false;
    bool mScreenReconfigured = false;

    std::mutex mSidebandLock;
    std::shared_ptr<KLNetSocket> mOutputSideband;
    sockaddr_storage mOutputDestination{};

    std::atomic<bool> mClientNeedsCursorPosUpdate{false};
    std::atomic<bool> mClientNeedsCursorImageUpdate{false};
    std::mutex mCursorImageLock;
    std::optional<KLTCursor> mCurrentCursor;

    // Last: joined (after the running job) before anything those jobs touch goes.
    WorkerThread mDisplayWork{"ScreenServerDisplay"};
    WorkerThread mBusyExchanges{"ScreenServerBusyExchange"};
};

}  // namespace kl
