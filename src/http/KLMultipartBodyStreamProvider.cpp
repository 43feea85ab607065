#include "http/KLMultipartBodyStreamProvider.h"

#include <algorithm>

#include "platform/Executors.h"

namespace kl {

KLMultipartBodyStreamProvider::KLMultipartBodyStreamProvider(std::string stringEncoding)
    : stringEncoding_(std::move(stringEncoding)) {}

void KLMultipartBodyStreamProvider::appendHTTPBodyPart(std::unique_ptr<KLHTTPBodyPart> part) {
    if (part) parts_.push_back(std::move(part));
}

void KLMultipartBodyStreamProvider::setInitialAndFinalBoundaries() {
    for (auto& part : parts_) part->hasInitialBoundary = part->hasFinalBoundary = false;
    if (parts_.empty()) return;
    parts_.front()->hasInitialBoundary = true;
    parts_.back()->hasFinalBoundary = true;
}

uint64_t KLMultipartBodyStreamProvider::contentLength() const {
    uint64_t length = 0;
    for (const auto& part : parts_) length += part->contentLength();
    return length;
}

KLStreamReadResult KLMultipartBodyStreamProvider::read(uint8_t* buffer, size_t maxLength) {
    if (error_) return KLStreamReadResult::failed();
    waitingForThrottle_ = false;
    if (nextPacketAt_ && std::chrono::steady_clock::now() < *nextPacketAt_) {
        waitingForThrottle_ = true;
        return KLStreamReadResult::notYet();
    }
    maxLength = std::min(maxLength, bufferLength_);
    size_t total = 0;
    while (total < maxLength && currentPart_ < parts_.size()) {
        KLStreamReadResult result = parts_[currentPart_]->read(buffer + total, maxLength - total);
        if (result.status == KLStreamReadResult::Read) {
            total += result.length;
        } else if (result.status == KLStreamReadResult::End) {
            ++currentPart_;
        } else if (result.status == KLStreamReadResult::NotYet) {
            break;
        } else {
            error_ = parts_[currentPart_]->error();
            close();
            return KLStreamReadResult::failed();
        }
    }
    if (total == 0)
        return currentPart_ < parts_.size() ? KLStreamReadResult::notYet() : KLStreamReadResult::end();
    if (delay_ > 0)
        nextPacketAt_ = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(delay_));
    return KLStreamReadResult::read(total);
}

void KLMultipartBodyStreamProvider::notifyWhenReadable(std::function<void()> handler) {
    if (!handler) return;
    if (waitingForThrottle_ && nextPacketAt_) {
        // The handler only schedules work on the reader's thread; the timer touches nothing here.
        auto wait = *nextPacketAt_ - std::chrono::steady_clock::now();
        globalQueue().after(std::max(wait, std::chrono::steady_clock::duration::zero()), std::move(handler));
        return;
    }
    if (currentPart_ < parts_.size())
        if (auto stream = parts_[currentPart_]->waitingStream()) {
            stream->notifyWhenReadable(std::move(handler));
            return;
        }
    handler();
}

std::shared_ptr<KLInputStream> KLMultipartBodyStreamProvider::copy() const {
    auto provider = std::make_shared<KLMultipartBodyStreamProvider>(stringEncoding_);
    provider->bufferLength_ = bufferLength_;
    provider->delay_ = delay_;
    for (const auto& part : parts_) {
        auto fresh = part->copy();
        if (!fresh) return nullptr;
        provider->appendHTTPBodyPart(std::move(fresh));
    }
    provider->setInitialAndFinalBoundaries();
    return provider;
}

void KLMultipartBodyStreamProvider::close() {
    for (auto& part : parts_) part->close();
    currentPart_ = parts_.size();
}

}  // namespace kl
