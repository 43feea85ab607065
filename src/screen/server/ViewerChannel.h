// The viewer's main channel as the server uses it: a TCP socket for a real viewer, or an outbound
// RTP socket that plays a viewer and carries what the server writes as RTP frames.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "foundation/KLNetSocket.h"

namespace kl {

class ViewerChannel {
public:
    virtual ~ViewerChannel() = default;
    virtual bool getClientBytes(void* buffer, int64_t length) = 0;
    virtual bool sendBytes(const void* bytes, uint32_t length) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The TCP socket underneath (timing, addresses, sidebands); null for a channel without a peer.
    virtual std::shared_ptr<KLNetSocket> netSocket() const { return nullptr; }
    // Whether each update answer goes out as a frame of its own, opened with the display-size
    // record (beginUpdate) and sent when complete (endUpdate).
    virtual bool framesUpdates() const { return false; }
    virtual void beginUpdate(std::span<const uint8_t>) {}
    virtual void endUpdate() {}
};

class NetSocketViewerChannel : public ViewerChannel {
public:
    explicit NetSocketViewerChannel(std::shared_ptr<KLNetSocket> socket) : mSocket(std::move(socket)) {}
    bool getClientBytes(void* buffer, int64_t length) override { return mSocket->getClientBytes(buffer, length); }
    bool sendBytes(const void* bytes, uint32_t length) override { return mSocket->sendBytes(bytes, length); }
    void close() override { mSocket->close(); }
    bool isOpen() const override { return mSocket->isOpen(); }
    std::shared_ptr<KLNetSocket> netSocket() const override { return mSocket; }

private:
    std::shared_ptr<KLNetSocket> mSocket;
};

}  // namespace kl
