// KLHTTPBodyPart: one part of a multipart/form-data body, read in phases: its boundary line, its
// header lines, its body bytes and, for the last part, the closing boundary. The body is data, a
// file or a one-shot stream; it must give exactly bodyContentLength bytes, since that count went
// out in the request's Content-Length. Network thread only once reading has begun.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "http/KLInputStream.h"
#include "http/KLURLRequest.h"

namespace kl {

// The boundary between parts; fixed, as servers and stored captures of our uploads know it.
inline constexpr const char* kKLMultipartFormBoundary = "Boundary+0xAbCdEfGbOuNdArY";

struct KLFileBody {
    std::string path;
};
using KLHTTPBodyPartBody = std::variant<std::shared_ptr<const Bytes>, KLFileBody, std::shared_ptr<KLInputStream>>;

class KLHTTPBodyPart {
public:
    enum Phase { Initial = 0, EncapsulationBoundary = 1, Header = 2, Body = 3, FinalBoundary = 4, Completed = 5 };

    // headerText is the encoded header block, every line ended by CRLF, without the empty line.
    KLHTTPBodyPart(std::string headerText, KLHTTPBodyPartBody body, uint64_t bodyContentLength);
    ~KLHTTPBodyPart();
    KLHTTPBodyPart(const KLHTTPBodyPart&) = delete;
    KLHTTPBodyPart& operator=(const KLHTTPBodyPart&) = delete;

    bool hasInitialBoundary = false;
    bool hasFinalBoundary = false;

    uint64_t bodyContentLength() const { return bodyContentLength_; }
    // Boundary line + headers + body + closing boundary, in bytes.
    uint64_t contentLength() const;
    // Fills buffer from the current phase onwards; NotYet while a stream body has nothing yet.
    KLStreamReadResult read(uint8_t* buffer, size_t maxLength);
    // Why the last read failed.
    std::optional<Error> error() const { return error_; }
    // Whether the notification for a NotYet comes from the body stream.
    std::shared_ptr<KLInputStream> waitingStream() const { return phase_ == Body ? bodyStream_ : nullptr; }
    // Closes the body stream; later reads give nothing more.
    void close();
    // A fresh unread copy (boundary flags cleared); nothing for a one-shot stream body.
    std::unique_ptr<KLHTTPBodyPart> copy() const;

private:
    std::string boundaryText() const;
    std::string finalText() const;
    // Copies what is left of text from the phase's read offset; moves on when text is used up.
    size_t readText(const std::string& text, uint8_t* buffer, size_t maxLength);
    KLStreamReadResult readBody(uint8_t* buffer, size_t maxLength);
    void transitionToNextPhase();
    void fail(Error error);

    const std::string headerText_;
    const KLHTTPBodyPartBody body_;
    const uint64_t bodyContentLength_;

    Phase phase_ = Initial;
    uint64_t phaseReadOffset_ = 0;
    std::shared_ptr<KLInputStream> bodyStream_;
    std::optional<Error> error_;
};

}  // namespace kl
