// Where an encoder's records go: the viewer's main channel, or a byte buffer (tests, benchmarks).
// Each call carries whole records, so a socket sees one write per record.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/Value.h"

namespace kl {

class KLNetSocket;

class EncoderOutput {
public:
    virtual ~EncoderOutput() = default;
    // Results are not looked at by the encoder: a failed write shows in the server's own sends.
    virtual void write(std::span<const uint8_t> bytes) = 0;
};

class ByteBufferOutput : public EncoderOutput {
public:
    void write(std::span<const uint8_t> bytes) override { mBytes.insert(mBytes.end(), bytes.begin(), bytes.end()); }
    Bytes& bytes() { return mBytes; }

private:
    Bytes mBytes;
};

class SocketOutput : public EncoderOutput {
public:
    explicit SocketOutput(std::shared_ptr<KLNetSocket> socket) : mSocket(std::move(socket)) {}
    void write(std::span<const uint8_t> bytes) override;

private:
    std::shared_ptr<KLNetSocket> mSocket;
};

}  // namespace kl
