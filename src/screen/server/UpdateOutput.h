// Where the records of one viewer connection's updates go: its main channel, with one failure flag
// that sticks once any write failed, so an update that lost a record never reports success and
// nothing more is written into a stream the viewer can no longer follow.
#pragma once

#include <atomic>
#include <memory>
#include <span>

#include "foundation/KLNetSocket.h"
#include "screen/encoder/EncoderOutput.h"

namespace kl {

class UpdateOutput : public EncoderOutput {
public:
    explicit UpdateOutput(std::shared_ptr<KLNetSocket> socket) : mSocket(std::move(socket)) {}

    void write(std::span<const uint8_t> bytes) override { send(bytes); }
    // false once any write of this connection failed.
    bool send(std::span<const uint8_t> bytes) {
        if (mFailed) return false;
        while (!bytes.empty()) {
            auto chunk = uint32_t(std::min<size_t>(bytes.size(), 1u << 30));
            if (!mSocket->sendBytes(bytes.data(), chunk)) {
                mFailed = true;
                return false;
            }
            bytes = bytes.subspan(chunk);
        }
        return true;
    }
    bool failed() const { return mFailed; }

private:
    std::shared_ptr<KLNetSocket> mSocket;
    std::atomic<bool> mFailed{false};
};

}  // namespace kl
