#include "tunnel/channel/TunnexSocket.h"

#include "tunnel/channel/TunnexDummyEncryptor.h"

namespace kl {

TunnexSocket::TunnexSocket() : dummy_(std::make_shared<TunnexDummyEncryptor>()), delegate_(dummy_) {}

TunnexSocket::~TunnexSocket() = default;

std::shared_ptr<TunnexSocketDelegate> TunnexSocket::delegate() const {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    return delegate_.lock();
}

void TunnexSocket::setDelegate(std::weak_ptr<TunnexSocketDelegate> delegate) {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    delegate_ = std::move(delegate);
}

Bytes TunnexSocket::tag() const {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    return tag_;
}

void TunnexSocket::setTag(Bytes tag) {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    tag_ = std::move(tag);
}

}  // namespace kl
