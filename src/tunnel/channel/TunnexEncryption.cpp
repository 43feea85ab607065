#include "tunnel/channel/TunnexEncryption.h"

#include <cryptopp/cmac.h>
#include <cryptopp/misc.h>

#include <cstring>

#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexDHGroup.h"

namespace kl {

namespace {

using CryptoPP::SecByteBlock;

// Seeded from the operating system with 32 bytes, without blocking.
std::unique_ptr<CryptoPP::RandomNumberGenerator> defaultRandom() {
    return std::make_unique<CryptoPP::AutoSeededRandomPool>(false, 32);
}

SecByteBlock copyIf(bool present, const SecByteBlock& value) { return present ? value : SecByteBlock(); }

}  // namespace

TunnexEncryption::TunnexEncryption(std::unique_ptr<CryptoPP::RandomNumberGenerator> random)
    : random_(random ? std::move(random) : defaultRandom()), domain_(crypto_p(), crypto_q(), crypto_g()) {
    localIV_.resize(kKeyLength);
    random_->GenerateBlock(localIV_.data(), localIV_.size());
}

void TunnexEncryption::initialize() {
    std::lock_guard lock(mutex_);
    if (hasDHKeyPair_) return;
    privateValue_.resize(domain_.PrivateKeyLength());
    publicValue_.resize(domain_.PublicKeyLength());
    domain_.GenerateKeyPair(*random_, privateValue_, publicValue_);
    hasDHKeyPair_ = true;
}

bool TunnexEncryption::initialize(const SecByteBlock& privateValue, const SecByteBlock& publicValue) {
    std::lock_guard lock(mutex_);
    if (hasDHKeyPair_) return false;
    if (privateValue.size() != domain_.PrivateKeyLength() || publicValue.size() != domain_.PublicKeyLength()) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: refusing a key pair of %zu and %zu bytes", privateValue.size(),
              publicValue.size());
        return false;
    }
    privateValue_ = privateValue;
    publicValue_ = publicValue;
    hasDHKeyPair_ = true;
    return true;
}

// Each value is handed out as a copy, and only while it exists.
#define KL_VALUE_GETTER(name, present, field)        \
    SecByteBlock TunnexEncryption::name() const {    \
        std::lock_guard lock(mutex_);                \
        return copyIf(present, field);               \
    }

KL_VALUE_GETTER(getDHPublicKey, hasDHKeyPair_, publicValue_)
KL_VALUE_GETTER(getOtherPublicKey, hasRemotePublicKey_, remotePublicValue_)
KL_VALUE_GETTER(getKEK, hasKeyEncryptionKey_, kek_)
KL_VALUE_GETTER(getLocalCEK, hasLocalCEK_, localCEK_)
KL_VALUE_GETTER(getRemoteCEK, hasRemoteCEK_, remoteCEK_)
KL_VALUE_GETTER(getLocalIV, true, localIV_)
KL_VALUE_GETTER(getRemoteIV, hasRemoteIV_, remoteIV_)

#undef KL_VALUE_GETTER

bool TunnexEncryption::updateWithOtherPublicKey(const uint8_t* value, size_t length) {
    std::lock_guard lock(mutex_);
    if (hasRemotePublicKey_) return hasKeyEncryptionKey_;

    remotePublicValue_.Assign(value, value ? length : 0);
    hasRemotePublicKey_ = true;

    if (!hasDHKeyPair_) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: remote public value arrived before the key pair");
        return false;
    }
    if (remotePublicValue_.size() != domain_.PublicKeyLength()) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: refusing a remote public value of %zu bytes",
              remotePublicValue_.size());
        return false;
    }
    CryptoPP::Integer element(remotePublicValue_.data(), remotePublicValue_.size());
    if (!isValidGroupElement(element)) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: refusing a remote public value outside the group");
        return false;
    }

    SecByteBlock agreed(domain_.AgreedValueLength());
    bool agreedOk = false;
    try {
        agreedOk = domain_.Agree(agreed, privateValue_, remotePublicValue_, true);
    } catch (const CryptoPP::Exception& e) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: key agreement failed: %s", e.what());
    }
    if (!agreedOk) return false;

    kek_ = agreed;
    hasKeyEncryptionKey_ = true;
    localCEK_.resize(kKeyLength);
    random_->GenerateBlock(localCEK_.data(), localCEK_.size());
    hasLocalCEK_ = true;
    outbound_.SetKeyWithIV(localCEK_, localCEK_.size(), localIV_, localIV_.size());
    return true;
}

SecByteBlock TunnexEncryption::getEncryptedCEK() const {
    std::lock_guard lock(mutex_);
    if (!hasKeyEncryptionKey_ || !hasLocalCEK_) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: no content key to wrap before key agreement");
        return SecByteBlock();
    }
    SecByteBlock message(kWrappedKeyLength);
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption wrap(kek_.data(), kKeyLength);
    wrap.ProcessData(message.data(), localCEK_.data(), kKeyLength);
    CryptoPP::CMAC<CryptoPP::AES> mac(kek_.data() + kKeyLength, kKeyLength);
    mac.CalculateDigest(message.data() + kKeyLength, message.data(), kKeyLength);
    std::memcpy(message.data() + 2 * kKeyLength, localIV_.data(), kKeyLength);
    return message;
}

bool TunnexEncryption::updateWithOtherContentEncryptionKey(const uint8_t* message, size_t length) {
    std::lock_guard lock(mutex_);
    if (!hasKeyEncryptionKey_) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: refusing a wrapped key before key agreement");
        return false;
    }
    if (!message || length < kWrappedKeyLength) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: refusing a wrapped key of %zu bytes", message ? length : 0);
        return false;
    }

    CryptoPP::CMAC<CryptoPP::AES> mac(kek_.data() + kKeyLength, kKeyLength);
    SecByteBlock tag(kKeyLength);
    mac.CalculateDigest(tag.data(), message, kKeyLength);
    if (!CryptoPP::VerifyBufsEqual(tag.data(), message + kKeyLength, kKeyLength)) {
        KLLog(kKLTLoggingLevelError, "TunnexEncryption: wrapped key failed authentication");
        return false;
    }

    SecByteBlock cek(kKeyLength);
    CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption unwrap(kek_.data(), kKeyLength);
    unwrap.ProcessData(cek.data(), message, kKeyLength);
    remoteCEK_ = cek;
    remoteIV_.Assign(message + 2 * kKeyLength, kKeyLength);
    hasRemoteIV_ = true;
    inbound_.SetKeyWithIV(remoteCEK_, remoteCEK_.size(), remoteIV_, remoteIV_.size());
    hasRemoteCEK_ = true;
    encryptionReady_ = true;
    return true;
}

TunnexResult<void> TunnexEncryption::runStream(CryptoPP::StreamTransformation& stream, bool keyed, const uint8_t* in,
                                               size_t length, uint8_t* out, const char* direction) {
    if (!keyed) {
        KLLog(kKLTLoggingLevelDebug, "TunnexEncryption: %s stream is not keyed yet", direction);
        return TunnexError(TunnexErrorCode::NotKeyed, std::string(direction) + " stream is not keyed yet");
    }
    if (length) stream.ProcessData(out, in, length);
    return {};
}

SecByteBlock TunnexEncryption::encryptByteBlock(const SecByteBlock& block) {
    std::lock_guard lock(mutex_);
    SecByteBlock out(block.size());
    if (!runStream(outbound_, hasLocalCEK_, block.data(), block.size(), out.data(), "outbound")) return SecByteBlock();
    return out;
}

SecByteBlock TunnexEncryption::decryptByteBlock(const SecByteBlock& block) {
    std::lock_guard lock(mutex_);
    SecByteBlock out(block.size());
    if (!runStream(inbound_, hasRemoteCEK_, block.data(), block.size(), out.data(), "inbound")) return SecByteBlock();
    return out;
}

Bytes TunnexEncryption::encryptBytes(const Bytes& bytes) {
    std::lock_guard lock(mutex_);
    Bytes out(bytes.size());
    if (!runStream(outbound_, hasLocalCEK_, bytes.data(), bytes.size(), out.data(), "outbound")) return {};
    return out;
}

Bytes TunnexEncryption::decryptBytes(const Bytes& bytes) {
    std::lock_guard lock(mutex_);
    Bytes out(bytes.size());
    if (!runStream(inbound_, hasRemoteCEK_, bytes.data(), bytes.size(), out.data(), "inbound")) return {};
    return out;
}

#define KL_FLAG_GETTER(name, field)          \
    bool TunnexEncryption::name() const {    \
        std::lock_guard lock(mutex_);        \
        return field;                        \
    }

KL_FLAG_GETTER(encryptionReady, encryptionReady_)
KL_FLAG_GETTER(hasDHKeyPair, hasDHKeyPair_)
KL_FLAG_GETTER(hasRemotePublicKey, hasRemotePublicKey_)
KL_FLAG_GETTER(hasKeyEncryptionKey, hasKeyEncryptionKey_)
KL_FLAG_GETTER(hasLocalCEK, hasLocalCEK_)
KL_FLAG_GETTER(hasRemoteCEK, hasRemoteCEK_)
KL_FLAG_GETTER(hasRemoteIV, hasRemoteIV_)

#undef KL_FLAG_GETTER

}  // namespace kl
