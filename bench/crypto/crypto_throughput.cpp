// Throughput of the tunnel's two stream ciphers, as a forwarded connection uses them: the data
// channels' AES-CFB (one cipher kept per socket) and the tunnel's AES-CTR stream, over buffers of
// one UDT payload (1456 bytes), of 64 KiB, and of 64 KiB + 5 (so that, as with a channel's
// receives, each buffer starts off a block boundary of the stream). Prints MB/s (10^6 bytes per
// second) side by side.
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

#include "tunnel/channel/TunnexChannelCipher.h"
#include "tunnel/channel/TunnexEncryption.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the operation on buffers of the given size for at least the given time; MB/s.
double measure(size_t bufferSize, const std::function<void(const kl::Bytes&)>& operation) {
    kl::Bytes buffer(bufferSize);
    for (size_t i = 0; i < bufferSize; ++i) buffer[i] = uint8_t(i * 31 + 7);
    for (int i = 0; i < 50; ++i) operation(buffer);  // warm up
    const auto minimum = std::chrono::milliseconds(700);
    size_t bytes = 0;
    auto start = Clock::now();
    Clock::duration elapsed{};
    while (elapsed < minimum) {
        for (int i = 0; i < 64; ++i) operation(buffer);
        bytes += 64 * bufferSize;
        elapsed = Clock::now() - start;
    }
    return double(bytes) / std::chrono::duration<double>(elapsed).count() / 1e6;
}

}  // namespace

int main() {
    auto a = std::make_shared<kl::TunnexEncryption>();
    auto b = std::make_shared<kl::TunnexEncryption>();
    a->initialize();
    b->initialize();
    if (!a->updateWithOtherPublicKey(b->getDHPublicKey()) || !b->updateWithOtherPublicKey(a->getDHPublicKey()) ||
        !b->updateWithOtherContentEncryptionKey(a->getEncryptedCEK()) ||
        !a->updateWithOtherContentEncryptionKey(b->getEncryptedCEK())) {
        std::fprintf(stderr, "key exchange failed\n");
        return 1;
    }

    std::printf("%-10s %14s %14s %14s %14s %10s\n", "buffer", "CFB enc MB/s", "CFB dec MB/s", "CTR enc MB/s",
                "CTR dec MB/s", "CTR/CFB");
    for (size_t size : {size_t(1456), size_t(65536), size_t(65541)}) {
        kl::TunnexStreamCipher encryptor, decryptor;
        double cfbEncrypt = measure(size, [&](const kl::Bytes& data) { kl::encryptChannelBytes(*a, data, encryptor); });
        double cfbDecrypt = measure(size, [&](const kl::Bytes& data) { kl::decryptChannelBytes(*b, data, decryptor); });
        double ctrEncrypt = measure(size, [&](const kl::Bytes& data) { a->encryptBytes(data); });
        double ctrDecrypt = measure(size, [&](const kl::Bytes& data) { b->decryptBytes(data); });
        std::printf("%-10zu %14.1f %14.1f %14.1f %14.1f %10.2f\n", size, cfbEncrypt, cfbDecrypt, ctrEncrypt,
                    ctrDecrypt, ctrEncrypt / cfbEncrypt);
    }
    return 0;
}
