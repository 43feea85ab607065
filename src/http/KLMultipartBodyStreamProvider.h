// KLMultipartBodyStreamProvider: the body stream of a multipart request. It reads its parts one
// after the other into the request body, a packet (bufferLength bytes) at a time. With a delay set
// it throttles: after each packet the next read says NotYet and a timer, not a sleeping thread,
// lets the upload go on. Parts are appended before the request is sent; reading happens on the
// network thread only.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "http/KLHTTPBodyPart.h"
#include "http/KLInputStream.h"

namespace kl {

class KLMultipartBodyStreamProvider : public KLInputStream, public std::enable_shared_from_this<KLMultipartBodyStreamProvider> {
public:
    static constexpr size_t kDefaultBufferLength = 4096;

    explicit KLMultipartBodyStreamProvider(std::string stringEncoding);

    void appendHTTPBodyPart(std::unique_ptr<KLHTTPBodyPart> part);
    // The first part opens with the initial boundary, the last one closes the body.
    void setInitialAndFinalBoundaries();
    uint64_t contentLength() const;
    bool isEmpty() const { return parts_.empty(); }
    size_t bufferLength() const { return bufferLength_; }
    void setBufferLength(size_t length) { bufferLength_ = length > 0 ? length : kDefaultBufferLength; }
    double delay() const { return delay_; }
    void setDelay(double seconds) { delay_ = seconds > 0 ? seconds : 0; }
    const std::string& stringEncoding() const { return stringEncoding_; }

    // The body stream: this provider itself.
    std::shared_ptr<KLInputStream> inputStream() { return shared_from_this(); }

    KLStreamReadResult read(uint8_t* buffer, size_t maxLength) override;
    void notifyWhenReadable(std::function<void()> handler) override;
    std::optional<Error> streamError() const override { return error_; }
    std::optional<uint64_t> length() const override { return contentLength(); }
    // A provider over unread copies of every part; nothing when a part is a one-shot stream.
    std::shared_ptr<KLInputStream> copy() const override;
    void close() override;

private:
    const std::string stringEncoding_;
    std::vector<std::unique_ptr<KLHTTPBodyPart>> parts_;
    size_t currentPart_ = 0;
    size_t bufferLength_ = kDefaultBufferLength;
    double delay_ = 0;
    std::optional<std::chrono::steady_clock::time_point> nextPacketAt_;  // set by throttling
    bool waitingForThrottle_ = false;
    std::optional<Error> error_;
};

}  // namespace kl
