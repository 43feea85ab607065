// KLNetOutboundRTPSocket: the main channel of the RTP output path. To the server it is a viewer
// that sent a handshake (version 1.1.9, display mode 0, encoding modes 0x7A, 1024 x 768) and then
// asks for an update whenever the pacing thread ticks (every 40 ms); everything the server writes
// is queued as blocks and sent, one RTP frame per endRTPPacket, to fixed destinations.
//
// Frame layout (the RTP payload of the fragments joined in index order): the queued blocks in
// the order written. Each update answer of the server is one frame opened by the display-size
// block, 0x79, 59, 0, then the 56-byte display-size record (RTPDisplaySizeRecord.h); what the
// server wrote between updates (hello, resolution changes) goes out first as a frame of its own.
//
// Threads: the server's reader calls getClientBytes and every send, and builds and sends the
// frames; the pacing thread only ticks. The block queue has its own lock since the server may also
// write from its display-activation thread. close() may come from any thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Value.h"
#include "screen/protocol/ClientHandshake.h"
#include "screen/rtp/RTPTransmitter.h"
#include "screen/server/ViewerChannel.h"

namespace kl {

// Where the frames go. The hosts stay on loopback by default, so a path started by mistake sends
// into no network.
struct RTPDestinations {
    std::vector<uint32_t> hosts{0x7F000001, 0x7F000002};  // IPv4, most significant byte first
    uint16_t port = 9000;
    int localPortBase = 8000;  // -1: any free pair
};

class KLNetOutboundRTPSocket : public ViewerChannel {
public:
    enum State : int32_t { kHandshake = 0, kStreaming = 1, kClosed = 2 };
    static constexpr size_t kHandshakeLength = 109;
    static constexpr std::chrono::milliseconds kPacingInterval{40};
    static constexpr std::chrono::nanoseconds kFragmentDelay{30303000};
    static constexpr uint8_t kDisplaySizeBlockType = 0x79;
    static constexpr size_t kDisplaySizeRecordLength = 56;

    explicit KLNetOutboundRTPSocket(RTPDestinations destinations = {});
    ~KLNetOutboundRTPSocket() override;
    KLNetOutboundRTPSocket(const KLNetOutboundRTPSocket&) = delete;
    KLNetOutboundRTPSocket& operator=(const KLNetOutboundRTPSocket&) = delete;

    // Queues the 59-byte display-size block; a record of another length is refused.
    void beginRTPPacket(std::span<const uint8_t> displaySizeRecord);
    // Sends everything queued as one frame and empties the queue; with delay, waits 1/33 s after
    // each fragment. A frame of more than 255 fragments is dropped with a log line.
    void endRTPPacketWithDelay(bool delay);
    void endRTPPacket() { endRTPPacketWithDelay(true); }
    bool isConnected() const { return true; }

    bool getClientBytes(void* buffer, int64_t length) override;
    bool sendBytes(const void* bytes, uint32_t length) override;
    // State 2: the pacing thread ends, a waiting reader is let go, and the session ends with an
    // RTCP BYE "End transmission".
    void close() override;
    bool isOpen() const override { return mState != kClosed; }
    bool framesUpdates() const override { return true; }
    void beginUpdate(std::span<const uint8_t> displaySizeRecord) override;
    void endUpdate() override { endRTPPacket(); }

    std::vector<Bytes> outboundPackets();
    void setOutboundPackets(std::vector<Bytes> packets);
    State state() const { return mState; }
    const std::vector<uint32_t>& activeHosts() const { return mActiveHosts; }
    int localPort() const { return mRTPSession.localPort(); }

private:
    void rtpTimer();
    // Until the pacing thread's next tick; false when the socket closed meanwhile.
    bool waitForTick();

    std::mutex mQueueLock;
    std::vector<Bytes> mOutboundPackets;  // under mQueueLock
    // Used by the frame-sending thread and by close(), under mSessionLock.
    std::mutex mSessionLock;
    RTPTransmitter mRTPSession;
    std::atomic<State> mState{kHandshake};
    std::array<uint8_t, kHandshakeLength> mHandshake{};
    uint16_t mHandshakeOffset = 0;  // the reader's
    std::mutex mConditionMutex;
    std::condition_variable mConditionLock;
    uint64_t mTicks = 0;  // under mConditionMutex
    std::vector<uint32_t> mActiveHosts;
    uint16_t mDestinationPort;
    std::mutex mCloseLock;  // held while the pacing thread is joined
    std::thread mTimer;
};

}  // namespace kl
