#include "http/KLInputStream.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace kl {
namespace {

constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

Error posixError(int number, const std::string& what) {
    return Error::withDescription(kPOSIXErrorDomain, number, what + ": " + strerror(number));
}

}  // namespace

KLDataInputStream::KLDataInputStream(std::shared_ptr<const Bytes> data)
    : data_(data ? std::move(data) : std::make_shared<const Bytes>()) {}

KLStreamReadResult KLDataInputStream::read(uint8_t* buffer, size_t maxLength) {
    size_t count = std::min(maxLength, data_->size() - offset_);
    if (count == 0) return KLStreamReadResult::end();
    std::copy_n(data_->data() + offset_, count, buffer);
    offset_ += count;
    return KLStreamReadResult::read(count);
}

std::shared_ptr<KLInputStream> KLDataInputStream::copy() const { return std::make_shared<KLDataInputStream>(data_); }

KLFileInputStream::KLFileInputStream(std::string path) : path_(std::move(path)) {}

KLFileInputStream::~KLFileInputStream() { close(); }

void KLFileInputStream::open() {
    if (opened_) return;
    opened_ = true;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) error_ = posixError(errno, "cannot open " + path_);
}

void KLFileInputStream::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

KLStreamReadResult KLFileInputStream::read(uint8_t* buffer, size_t maxLength) {
    open();
    if (error_) return KLStreamReadResult::failed();
    if (fd_ < 0) return KLStreamReadResult::end();  // closed
    while (true) {
        ssize_t count = ::read(fd_, buffer, maxLength);
        if (count > 0) return KLStreamReadResult::read(size_t(count));
        if (count == 0) return KLStreamReadResult::end();
        if (errno == EINTR) continue;
        error_ = posixError(errno, "cannot read " + path_);
        return KLStreamReadResult::failed();
    }
}

std::shared_ptr<KLInputStream> KLFileInputStream::copy() const { return std::make_shared<KLFileInputStream>(path_); }

void KLPipeInputStream::write(const uint8_t* bytes, size_t length) {
    std::function<void()> handler;
    {
        std::lock_guard guard(lock_);
        if (finished_ || error_ || length == 0) return;
        buffered_.insert(buffered_.end(), bytes, bytes + length);
    }
    if ((handler = takeHandlerIfReadable())) handler();
}

void KLPipeInputStream::finishWriting() {
    {
        std::lock_guard guard(lock_);
        if (error_) return;
        finished_ = true;
    }
    if (auto handler = takeHandlerIfReadable()) handler();
}

void KLPipeInputStream::failWriting(Error error) {
    {
        std::lock_guard guard(lock_);
        if (finished_ || error_) return;
        error_ = std::move(error);
    }
    if (auto handler = takeHandlerIfReadable()) handler();
}

KLStreamReadResult KLPipeInputStream::read(uint8_t* buffer, size_t maxLength) {
    std::lock_guard guard(lock_);
    if (error_) return KLStreamReadResult::failed();
    if (buffered_.empty()) return finished_ ? KLStreamReadResult::end() : KLStreamReadResult::notYet();
    size_t count = std::min(maxLength, buffered_.size());
    std::copy_n(buffered_.begin(), count, buffer);
    buffered_.erase(buffered_.begin(), buffered_.begin() + ptrdiff_t(count));
    return KLStreamReadResult::read(count);
}

void KLPipeInputStream::notifyWhenReadable(std::function<void()> handler) {
    {
        std::lock_guard guard(lock_);
        readableHandler_ = std::move(handler);
    }
    // Bytes (or the end) may have come between the reader's NotYet and now.
    if (auto ready = takeHandlerIfReadable()) ready();
}

std::function<void()> KLPipeInputStream::takeHandlerIfReadable() {
    std::lock_guard guard(lock_);
    if (buffered_.empty() && !finished_ && !error_) return nullptr;
    return std::exchange(readableHandler_, nullptr);
}

std::optional<Error> KLPipeInputStream::streamError() const {
    std::lock_guard guard(lock_);
    return error_;
}

}  // namespace kl
