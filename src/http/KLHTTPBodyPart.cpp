#include "http/KLHTTPBodyPart.h"

#include <algorithm>

#include "http/KLURLErrors.h"

namespace kl {
namespace {

constexpr const char* kCRLF = "\r\n";

}  // namespace

KLHTTPBodyPart::KLHTTPBodyPart(std::string headerText, KLHTTPBodyPartBody body, uint64_t bodyContentLength)
    : headerText_(std::move(headerText) + kCRLF), body_(std::move(body)), bodyContentLength_(bodyContentLength) {
    transitionToNextPhase();
}

KLHTTPBodyPart::~KLHTTPBodyPart() {
    if (bodyStream_) bodyStream_->close();
}

std::string KLHTTPBodyPart::boundaryText() const {
    std::string boundary = kKLMultipartFormBoundary;
    return hasInitialBoundary ? "--" + boundary + kCRLF : kCRLF + ("--" + boundary) + kCRLF;
}

std::string KLHTTPBodyPart::finalText() const {
    return hasFinalBoundary ? kCRLF + ("--" + std::string(kKLMultipartFormBoundary)) + "--" + kCRLF + kCRLF : std::string();
}

uint64_t KLHTTPBodyPart::contentLength() const {
    return boundaryText().size() + headerText_.size() + bodyContentLength_ + finalText().size();
}

void KLHTTPBodyPart::transitionToNextPhase() {
    switch (phase_) {
    case Initial: phase_ = EncapsulationBoundary; break;
    case EncapsulationBoundary: phase_ = Header; break;
    case Header:
        phase_ = Body;
        if (auto* data = std::get_if<std::shared_ptr<const Bytes>>(&body_)) bodyStream_ = std::make_shared<KLDataInputStream>(*data);
        else if (auto* file = std::get_if<KLFileBody>(&body_)) bodyStream_ = std::make_shared<KLFileInputStream>(file->path);
        else bodyStream_ = std::get<std::shared_ptr<KLInputStream>>(body_);
        if (bodyStream_) bodyStream_->open();
        break;
    case Body:
        phase_ = FinalBoundary;
        if (bodyStream_) bodyStream_->close();
        break;
    default: phase_ = Completed; break;
    }
    phaseReadOffset_ = 0;
}

void KLHTTPBodyPart::fail(Error error) {
    error_ = std::move(error);
    if (bodyStream_) bodyStream_->close();
}

size_t KLHTTPBodyPart::readText(const std::string& text, uint8_t* buffer, size_t maxLength) {
    size_t offset = size_t(std::min<uint64_t>(phaseReadOffset_, text.size()));
    size_t count = std::min(maxLength, text.size() - offset);
    std::copy_n(text.data() + offset, count, buffer);
    phaseReadOffset_ += count;
    if (phaseReadOffset_ >= text.size()) transitionToNextPhase();
    return count;
}

// The body must give exactly its announced length: a shorter or longer one would shift every
// later boundary and make the server misread the form, so either fails the upload.
KLStreamReadResult KLHTTPBodyPart::readBody(uint8_t* buffer, size_t maxLength) {
    if (!bodyStream_) {
        fail(KLURLError(kKLURLErrorRequestBodyStreamExhausted, "multipart body part has no stream", ""));
        return KLStreamReadResult::failed();
    }
    uint64_t remaining = bodyContentLength_ - phaseReadOffset_;
    uint8_t probe = 0;
    KLStreamReadResult result = remaining > 0 ? bodyStream_->read(buffer, size_t(std::min<uint64_t>(maxLength, remaining)))
                                              : bodyStream_->read(&probe, 1);
    switch (result.status) {
    case KLStreamReadResult::Read:
        if (remaining == 0) {
            fail(KLURLError(kKLURLErrorRequestBodyStreamExhausted,
                            "multipart body part is longer than its " + std::to_string(bodyContentLength_) + " bytes", ""));
            return KLStreamReadResult::failed();
        }
        phaseReadOffset_ += result.length;
        return result;
    case KLStreamReadResult::End:
        if (remaining > 0) {
            fail(KLURLError(kKLURLErrorRequestBodyStreamExhausted,
                            "multipart body part ended after " + std::to_string(phaseReadOffset_) + " of " +
                                std::to_string(bodyContentLength_) + " bytes",
                            ""));
            return KLStreamReadResult::failed();
        }
        transitionToNextPhase();
        return KLStreamReadResult::read(0);
    case KLStreamReadResult::NotYet: return result;
    case KLStreamReadResult::Failed:
    default:
        fail(bodyStream_->streamError().value_or(
            KLURLError(kKLURLErrorRequestBodyStreamExhausted, "multipart body part could not be read", "")));
        return KLStreamReadResult::failed();
    }
}

KLStreamReadResult KLHTTPBodyPart::read(uint8_t* buffer, size_t maxLength) {
    if (error_) return KLStreamReadResult::failed();
    size_t total = 0;
    while (total < maxLength && phase_ != Completed) {
        switch (phase_) {
        case EncapsulationBoundary: total += readText(boundaryText(), buffer + total, maxLength - total); break;
        case Header: total += readText(headerText_, buffer + total, maxLength - total); break;
        case Body: {
            KLStreamReadResult result = readBody(buffer + total, maxLength - total);
            if (result.status == KLStreamReadResult::Failed) return result;
            if (result.status == KLStreamReadResult::NotYet)
                return total > 0 ? KLStreamReadResult::read(total) : KLStreamReadResult::notYet();
            total += result.length;
            break;
        }
        case FinalBoundary: total += readText(finalText(), buffer + total, maxLength - total); break;
        default: transitionToNextPhase(); break;
        }
    }
    return total > 0 ? KLStreamReadResult::read(total) : KLStreamReadResult::end();
}

void KLHTTPBodyPart::close() {
    if (bodyStream_) bodyStream_->close();
    phase_ = Completed;
}

std::unique_ptr<KLHTTPBodyPart> KLHTTPBodyPart::copy() const {
    KLHTTPBodyPartBody body = body_;
    if (auto* stream = std::get_if<std::shared_ptr<KLInputStream>>(&body)) {
        auto fresh = *stream ? (*stream)->copy() : nullptr;
        if (!fresh) return nullptr;
        body = fresh;
    }
    std::string headers = headerText_.substr(0, headerText_.size() - 2);  // the constructor adds the empty line again
    return std::make_unique<KLHTTPBodyPart>(std::move(headers), std::move(body), bodyContentLength_);
}

}  // namespace kl
