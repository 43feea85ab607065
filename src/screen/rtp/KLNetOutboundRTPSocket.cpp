#include "screen/rtp/KLNetOutboundRTPSocket.h"

#include <algorithm>
#include <cstring>

#include "foundation/KLTLogging.h"
#include "screen/protocol/ScreenWireWriter.h"
#include "screen/rtp/RTPFragments.h"

namespace kl {
namespace {

// The canned viewer's handshake: version 1.1.9, display mode 0, encoding modes 0x7A, a display
// of 1024 x 768, everything else zero.
std::array<uint8_t, KLNetOutboundRTPSocket::kHandshakeLength> cannedHandshake() {
    Bytes bytes;
    ScreenWireWriter w(bytes);
    w.u8(1).u8(1).u8(1).u8(9).u8(0);  // type, version, display mode
    w.u32(0x7A).zeros(96);            // capabilities
    w.u16(1024).u16(768);
    std::array<uint8_t, KLNetOutboundRTPSocket::kHandshakeLength> handshake{};
    std::copy(bytes.begin(), bytes.end(), handshake.begin());
    return handshake;
}

bool allLoopback(const std::vector<uint32_t>& hosts) {
    return std::all_of(hosts.begin(), hosts.end(), [](uint32_t h) { return (h >> 24) == 127; });
}

}  // namespace

KLNetOutboundRTPSocket::KLNetOutboundRTPSocket(RTPDestinations destinations)
    : mHandshake(cannedHandshake()), mActiveHosts(std::move(destinations.hosts)), mDestinationPort(destinations.port) {
    KLLog(kKLTLoggingLevelInfo, "!!!DISPLAY MODE SIZE: %u", 0u);
    std::string error;
    if (!mRTPSession.create(destinations.localPortBase, allLoopback(mActiveHosts), error)) {
        KLLog(kKLTLoggingLevelError, "%s", error.c_str());
    } else {
        for (uint32_t host : mActiveHosts)
            if (!mRTPSession.addDestination(host, mDestinationPort, error)) KLLog(kKLTLoggingLevelError, "%s", error.c_str());
    }
    mTimer = std::thread([this] { rtpTimer(); });
}

KLNetOutboundRTPSocket::~KLNetOutboundRTPSocket() { close(); }

void KLNetOutboundRTPSocket::rtpTimer() {
    std::unique_lock lock(mConditionMutex);
    while (mState != kClosed) {
        if (mConditionLock.wait_for(lock, kPacingInterval, [this] { return mState == kClosed; })) break;
        ++mTicks;
        mConditionLock.notify_all();
    }
}

bool KLNetOutboundRTPSocket::waitForTick() {
    std::unique_lock lock(mConditionMutex);
    const uint64_t seen = mTicks;
    mConditionLock.wait(lock, [&] { return mTicks != seen || mState == kClosed; });
    return mState != kClosed;
}

void KLNetOutboundRTPSocket::close() {
    {
        std::lock_guard lock(mConditionMutex);
        mState = kClosed;
    }
    mConditionLock.notify_all();
    // The server's reader and its main loop may both close the socket: one joins, the other waits.
    std::lock_guard closing(mCloseLock);
    if (mTimer.joinable()) mTimer.join();
    std::lock_guard session(mSessionLock);
    if (mRTPSession.created()) mRTPSession.bye("End transmission");
}

bool KLNetOutboundRTPSocket::getClientBytes(void* buffer, int64_t length) {
    switch (mState.load()) {
    case kHandshake: {
        const bool fits = length >= 0 && mHandshakeOffset + length < int64_t(kHandshakeLength) + 1;
        if (fits) {
            std::memcpy(buffer, mHandshake.data() + mHandshakeOffset, size_t(length));
        } else {
            KLLog(kKLTLoggingLevelError, "Server requested a suprise number of %ld bytes", long(length));
        }
        // A surprise still counts as read: the server's picture of the handshake is what it is.
        mHandshakeOffset = uint16_t(std::clamp<int64_t>(mHandshakeOffset + std::max<int64_t>(length, 0), 0,
                                                        int64_t(kHandshakeLength)));
        if (mHandshakeOffset >= kHandshakeLength) mState = kStreaming;
        return fits;
    }
    case kStreaming:
        if (length == 0) return true;
        if (length != 1) {
            KLLog(kKLTLoggingLevelError, "Server requested a suprise number of %ld bytes", long(length));
            return false;
        }
        // One update request per pacing tick rather than as fast as the server can answer.
        if (!waitForTick()) return false;
        *static_cast<uint8_t*>(buffer) = 0x20;
        return true;
    default:
        // Closed: the reader ends instead of reading nothing forever.
        return false;
    }
}

bool KLNetOutboundRTPSocket::sendBytes(const void* bytes, uint32_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    std::lock_guard lock(mQueueLock);
    mOutboundPackets.emplace_back(p, p + length);
    return true;
}

void KLNetOutboundRTPSocket::beginRTPPacket(std::span<const uint8_t> displaySizeRecord) {
    if (displaySizeRecord.size() != kDisplaySizeRecordLength) {
        KLLog(kKLTLoggingLevelError, "RTP: a display-size record of %zu bytes refused", displaySizeRecord.size());
        return;
    }
    Bytes block{kDisplaySizeBlockType, uint8_t(3 + kDisplaySizeRecordLength), 0};
    block.insert(block.end(), displaySizeRecord.begin(), displaySizeRecord.end());
    std::lock_guard lock(mQueueLock);
    mOutboundPackets.push_back(std::move(block));
}

void KLNetOutboundRTPSocket::beginUpdate(std::span<const uint8_t> displaySizeRecord) {
    endRTPPacket();  // what was written since the last update goes first, as a frame of its own
    beginRTPPacket(displaySizeRecord);
}

void KLNetOutboundRTPSocket::endRTPPacketWithDelay(bool delay) {
    std::vector<Bytes> blocks;
    {
        std::lock_guard lock(mQueueLock);
        blocks.swap(mOutboundPackets);
    }
    Bytes payload;
    for (const Bytes& b : blocks) payload.insert(payload.end(), b.begin(), b.end());
    if (payload.empty()) return;
    auto fragments = fragmentRTPPayload(payload);
    if (!fragments) {
        KLLog(kKLTLoggingLevelError, "RTP: a frame of %zu bytes needs more than %zu fragments and is dropped",
              payload.size(), kRTPMaxFragments);
        return;
    }
    std::lock_guard session(mSessionLock);
    for (const RTPFragment& f : *fragments) {
        if (mState == kClosed) return;  // the session has ended
        std::string error;
        if (!mRTPSession.send(f.datagram, f.marker, f.timestampIncrement, error))
            KLLog(kKLTLoggingLevelError, "%s", error.c_str());
        if (delay) {
            std::unique_lock lock(mConditionMutex);
            mConditionLock.wait_for(lock, kFragmentDelay, [this] { return mState == kClosed; });
        }
    }
}

std::vector<Bytes> KLNetOutboundRTPSocket::outboundPackets() {
    std::lock_guard lock(mQueueLock);
    return mOutboundPackets;
}

void KLNetOutboundRTPSocket::setOutboundPackets(std::vector<Bytes> packets) {
    std::lock_guard lock(mQueueLock);
    mOutboundPackets = std::move(packets);
}

}  // namespace kl
