#include <gtest/gtest.h>

#include <cryptopp/aes.h>
#include <cryptopp/cryptlib.h>
#include <cryptopp/integer.h>
#include <cryptopp/modes.h>

#include <deque>
#include <random>
#include <thread>

#include "TunnelTestSupport.h"
#include "tunnel/channel/TunnexAesCfb.h"
#include "tunnel/channel/TunnexChannelCipher.h"
#include "tunnel/protocol/TunnexDHGroup.h"
#include "tunnel/channel/TunnexEncryption.h"

namespace kl {
namespace {

using CryptoPP::SecByteBlock;

// The known-answer vector, computed by vectors/make_key_agreement_vector.py with Python's own
// integers and python3-cryptography's AES and CMAC.
const char* kPrivateA = "1f2e3d4c5b6a79880f1e2d3c4b5a69788796a5b4";
const char* kPrivateB = "0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d";
const char* kPublicA =
    "8703640936758945dea4e43bf50e530f313edc33aa6c32d8825ed59f567eb52750c05d05e85aba49403e26ee4b9b2fdb"
    "97b4edce03b1173778b891b5f41e3e508b73a8d8418d9fd20c8d39030f5585b985161b5cb1aea19c86d14c1e943e38ee"
    "618114b62b4880d97a0fed8a0c7f5817507676c772c290b06e44f16daa19659d";
const char* kPublicB =
    "781d1cf009f8d2a840c2d097efa4f2278151f8406f91324d603e8eed9659201925700a322d08def4e66cf4a88058c552"
    "9d43d1632d6aa1a8033b58aaeb687e93b5db00bd01d938478de0ddfa55641c8e5772cbee76361046e91fc7928b050d1c"
    "f6ffb441ba4d083d59704553fb2a4b02f1fb9b86987fe4822348393d1fd6aef1";
const char* kSharedKEK =
    "3f0cc5a154790a3cb9565a5c83ef0798e6d0378665181e72275f5784e3302f44b2b7a65fed680775803f6d49805f84b4"
    "7526bcc87679d43f829bc93053a4310505f4e45b5dc1bb2dc2d6087d343cc7de9d38b4c9143456fad090d8521e051177"
    "9bbbd794a824613a249f8c565b22aeab916d1130225dfc0e8fe661f08a8caf98";
const char* kWrappedA =
    "bc9435b7a738fcc43ddaa82ee73bcb5940a4062cf50dcfc679c63efde2b368bc101112131415161718191a1b1c1d1e1f";
const char* kWrappedB =
    "1e907a81c1e35a572e39e1e3bcff545bce4b2fdbde22f17d5db54f4798906e71303132333435363738393a3b3c3d3e3f";
const char* kPlain =
    "030a11181f262d343b424950575e656c737a81888f969da4abb2b9c0c7ced5dce3eaf1f8ff060d141b222930373e454c"
    "535a61686f767d848b9299a0a7aeb5bcc3cad1d8dfe6edf4fb020910171e252c333a41484f565d646b727980878e959c"
    "a3aab1b8";
const char* kCtrA =
    "741a89bea8aa996839deb8908ab06a77eb78ad5f283552c1c8dd9d5f44240904e2e57a40b16b7901dfac433ab97e18a9"
    "a80d66711ffbd113a1c0055577b99218f53b928434fa8be72cfa439f5e5bff14de3c689c4b7a2160ba88750070154c5a"
    "748dbdb1";
const char* kCfbA =
    "741a89bea8aa996839deb8908ab06a77e35141ecb382be33cfb6b2c9a1869e2c862912de71287c34afc8d6848a876f11"
    "2d1463132f33c4f1200af93187a7763253eff80e0aae8628df81fd0d4c83893c7c8c26413b1ed427463a12fa75aa5d1e"
    "8a54b0c7";

SecByteBlock block(const Bytes& bytes) { return SecByteBlock(bytes.data(), bytes.size()); }
SecByteBlock blockFromHex(const char* hex) { return block(test::bytesFromHex(hex)); }
Bytes bytes(const SecByteBlock& block) { return Bytes(block.begin(), block.end()); }

Bytes sequence(size_t first, size_t count) {
    Bytes out(count);
    for (size_t i = 0; i < count; ++i) out[i] = uint8_t(first + i);
    return out;
}

// Yields the given bytes in order: the IV drawn at construction, then the content key.
class ScriptedRandom final : public CryptoPP::RandomNumberGenerator {
public:
    explicit ScriptedRandom(Bytes script) : script_(script.begin(), script.end()) {}
    void GenerateBlock(CryptoPP::byte* output, size_t size) override {
        for (size_t i = 0; i < size; ++i) {
            EXPECT_FALSE(script_.empty()) << "more randomness drawn than scripted";
            output[i] = script_.empty() ? 0 : script_.front();
            if (!script_.empty()) script_.pop_front();
        }
    }

private:
    std::deque<uint8_t> script_;
};

std::unique_ptr<CryptoPP::RandomNumberGenerator> scripted(Bytes iv, Bytes cek) {
    iv.insert(iv.end(), cek.begin(), cek.end());
    return std::make_unique<ScriptedRandom>(std::move(iv));
}

SecByteBlock encodedElement(const CryptoPP::Integer& value, size_t length = TunnexEncryption::kPublicValueLength) {
    SecByteBlock out(length);
    value.Encode(out.data(), out.size());
    return out;
}

// Two parties that have run the whole exchange with each other.
struct AgreedPair {
    std::shared_ptr<TunnexEncryption> a = std::make_shared<TunnexEncryption>();
    std::shared_ptr<TunnexEncryption> b = std::make_shared<TunnexEncryption>();
    AgreedPair() {
        a->initialize();
        b->initialize();
        EXPECT_TRUE(a->updateWithOtherPublicKey(b->getDHPublicKey()));
        EXPECT_TRUE(b->updateWithOtherPublicKey(a->getDHPublicKey()));
        EXPECT_TRUE(b->updateWithOtherContentEncryptionKey(a->getEncryptedCEK()));
        EXPECT_TRUE(a->updateWithOtherContentEncryptionKey(b->getEncryptedCEK()));
    }
};

TEST(Encryption, GroupIsTheFixedPrimeOrderSubgroup) {
    EXPECT_EQ(crypto_p().BitCount(), 1024u);
    EXPECT_EQ(crypto_q().BitCount(), 160u);
    EXPECT_TRUE(((crypto_p() - 1) % crypto_q()).IsZero());
    EXPECT_TRUE(isValidGroupElement(crypto_g()));
}

TEST(Encryption, NothingExistsBeforeItIsMade) {
    TunnexEncryption encryption;
    EXPECT_EQ(encryption.getDHPublicKey().size(), 0u);
    EXPECT_EQ(encryption.getOtherPublicKey().size(), 0u);
    EXPECT_EQ(encryption.getKEK().size(), 0u);
    EXPECT_EQ(encryption.getLocalCEK().size(), 0u);
    EXPECT_EQ(encryption.getRemoteCEK().size(), 0u);
    EXPECT_EQ(encryption.getRemoteIV().size(), 0u);
    EXPECT_EQ(encryption.getLocalIV().size(), 16u);
    EXPECT_EQ(encryption.getEncryptedCEK().size(), 0u);
    EXPECT_EQ(encryption.encryptByteBlock(SecByteBlock(16)).size(), 0u);
    EXPECT_EQ(encryption.decryptBytes(Bytes(16)).size(), 0u);
    EXPECT_FALSE(encryption.hasDHKeyPair());
    EXPECT_FALSE(encryption.encryptionReady());

    encryption.initialize();
    SecByteBlock publicValue = encryption.getDHPublicKey();
    EXPECT_EQ(publicValue.size(), 128u);
    encryption.initialize();  // a second call keeps the pair
    EXPECT_EQ(encryption.getDHPublicKey(), publicValue);
    EXPECT_TRUE(isValidGroupElement(CryptoPP::Integer(publicValue.data(), publicValue.size())));
}

TEST(Encryption, KnownAnswerPinsByteOrderAndKeySplit) {
    TunnexEncryption a(scripted(sequence(0x10, 16), sequence(0x20, 16)));
    TunnexEncryption b(scripted(sequence(0x30, 16), sequence(0x40, 16)));
    ASSERT_TRUE(a.initialize(blockFromHex(kPrivateA), blockFromHex(kPublicA)));
    ASSERT_TRUE(b.initialize(blockFromHex(kPrivateB), blockFromHex(kPublicB)));
    EXPECT_FALSE(a.initialize(blockFromHex(kPrivateA), blockFromHex(kPublicA)));  // the pair is kept

    ASSERT_TRUE(a.updateWithOtherPublicKey(b.getDHPublicKey()));
    ASSERT_TRUE(b.updateWithOtherPublicKey(a.getDHPublicKey()));
    EXPECT_EQ(bytes(a.getKEK()), test::bytesFromHex(kSharedKEK));
    EXPECT_EQ(bytes(b.getKEK()), test::bytesFromHex(kSharedKEK));
    EXPECT_EQ(bytes(a.getEncryptedCEK()), test::bytesFromHex(kWrappedA));
    EXPECT_EQ(bytes(b.getEncryptedCEK()), test::bytesFromHex(kWrappedB));

    // Each side unwraps the independently computed message of the other.
    ASSERT_TRUE(b.updateWithOtherContentEncryptionKey(blockFromHex(kWrappedA)));
    ASSERT_TRUE(a.updateWithOtherContentEncryptionKey(blockFromHex(kWrappedB)));
    EXPECT_EQ(bytes(b.getRemoteCEK()), sequence(0x20, 16));
    EXPECT_EQ(bytes(b.getRemoteIV()), sequence(0x10, 16));

    const Bytes plain = test::bytesFromHex(kPlain);
    EXPECT_EQ(a.encryptBytes(plain), test::bytesFromHex(kCtrA));
    EXPECT_EQ(b.decryptBytes(test::bytesFromHex(kCtrA)), plain);

    TunnexStreamCipher encryptor, decryptor;
    EXPECT_EQ(encryptChannelBytes(a, plain, encryptor), test::bytesFromHex(kCfbA));
    EXPECT_EQ(decryptChannelBytes(b, test::bytesFromHex(kCfbA), decryptor), plain);
}

TEST(Encryption, PartiesAgreeAndTheirStreamsSurviveAnySplit) {
    AgreedPair pair;
    EXPECT_EQ(pair.a->getKEK(), pair.b->getKEK());
    EXPECT_EQ(pair.b->getRemoteCEK(), pair.a->getLocalCEK());
    EXPECT_EQ(pair.b->getRemoteIV(), pair.a->getLocalIV());
    EXPECT_EQ(pair.a->getRemoteCEK(), pair.b->getLocalCEK());
    EXPECT_NE(pair.a->getLocalCEK(), pair.b->getLocalCEK());
    EXPECT_TRUE(pair.a->encryptionReady());
    EXPECT_TRUE(pair.b->encryptionReady());

    std::mt19937 random(11);
    for (auto [from, to] : {std::pair{pair.a, pair.b}, std::pair{pair.b, pair.a}}) {
        Bytes plain(20000);
        for (auto& byte : plain) byte = uint8_t(random());
        auto cutInto = [&](const Bytes& whole, auto&& run) {
            Bytes out;
            for (size_t at = 0; at < whole.size();) {
                size_t take = std::min<size_t>(whole.size() - at, random() % 700);
                Bytes piece(whole.begin() + at, whole.begin() + at + take);
                Bytes done = run(piece);
                EXPECT_EQ(done.size(), piece.size());
                out.insert(out.end(), done.begin(), done.end());
                at += take;
            }
            return out;
        };
        Bytes cipher = cutInto(plain, [&](const Bytes& p) { return bytes(from->encryptByteBlock(block(p))); });
        EXPECT_NE(cipher, plain);
        Bytes back = cutInto(cipher, [&](const Bytes& c) { return to->decryptBytes(c); });
        EXPECT_EQ(back, plain);
    }
}

TEST(Encryption, BadPublicValuesAreRejectedAndOnlyTheFirstValueCounts) {
    const CryptoPP::Integer p = crypto_p();
    struct Case {
        const char* what;
        SecByteBlock value;
    };
    TunnexEncryption good;
    good.initialize();
    const Case cases[] = {
        {"0", encodedElement(CryptoPP::Integer::Zero())},
        {"1", encodedElement(CryptoPP::Integer::One())},
        {"p-1", encodedElement(p - 1)},
        {"p", encodedElement(p)},
        {"p+1", encodedElement(p + 1)},
        {"outside the subgroup", encodedElement(CryptoPP::Integer::Two())},
        {"127 bytes", SecByteBlock(good.getDHPublicKey().data(), 127)},
        {"129 bytes", encodedElement(crypto_g(), 129)},
        {"empty", SecByteBlock()},
    };
    ASSERT_FALSE(isValidGroupElement(CryptoPP::Integer::Two()));
    for (const Case& c : cases) {
        TunnexEncryption encryption;
        encryption.initialize();
        EXPECT_FALSE(encryption.updateWithOtherPublicKey(c.value)) << c.what;
        EXPECT_FALSE(encryption.hasKeyEncryptionKey()) << c.what;
        EXPECT_EQ(encryption.getLocalCEK().size(), 0u) << c.what;
        EXPECT_EQ(encryption.getEncryptedCEK().size(), 0u) << c.what;
        EXPECT_EQ(encryption.encryptBytes(Bytes(10)).size(), 0u) << c.what;
        // The refused value was the first: a good one afterwards changes nothing.
        EXPECT_FALSE(encryption.updateWithOtherPublicKey(good.getDHPublicKey())) << c.what;
    }

    AgreedPair pair;
    SecByteBlock kek = pair.a->getKEK();
    TunnexEncryption stranger;
    stranger.initialize();
    EXPECT_TRUE(pair.a->updateWithOtherPublicKey(stranger.getDHPublicKey()));
    EXPECT_EQ(pair.a->getKEK(), kek);
    EXPECT_EQ(pair.a->getOtherPublicKey(), pair.b->getDHPublicKey());
}

TEST(Encryption, PublicValueBeforeTheKeyPairIsRefused) {
    TunnexEncryption early, other;
    other.initialize();
    EXPECT_FALSE(early.updateWithOtherPublicKey(other.getDHPublicKey()));
    EXPECT_FALSE(early.hasKeyEncryptionKey());
}

TEST(Encryption, TamperedOrMalformedWrappedKeysAreRefused) {
    TunnexEncryption sender, target;
    sender.initialize();
    target.initialize();
    ASSERT_TRUE(sender.updateWithOtherPublicKey(target.getDHPublicKey()));
    ASSERT_TRUE(target.updateWithOtherPublicKey(sender.getDHPublicKey()));
    const SecByteBlock genuine = sender.getEncryptedCEK();
    ASSERT_EQ(genuine.size(), 48u);

    for (size_t flip : {0u, 15u, 16u, 31u}) {
        SecByteBlock tampered = genuine;
        tampered[flip] ^= 0x01;
        EXPECT_FALSE(target.updateWithOtherContentEncryptionKey(tampered)) << "byte " << flip;
    }
    EXPECT_FALSE(target.updateWithOtherContentEncryptionKey(SecByteBlock(genuine.data(), 47)));
    EXPECT_FALSE(target.updateWithOtherContentEncryptionKey(nullptr, 48));
    EXPECT_FALSE(target.encryptionReady());
    EXPECT_FALSE(target.hasRemoteCEK());
    EXPECT_EQ(target.getRemoteCEK().size(), 0u);
    EXPECT_FALSE(target.hasRemoteIV());  // an unauthenticated IV is not kept
    EXPECT_EQ(target.getRemoteIV().size(), 0u);
    EXPECT_EQ(target.decryptBytes(Bytes(8)).size(), 0u);

    // Bytes after the 48 are ignored; the genuine message still works after the refusals.
    SecByteBlock longer(genuine.data(), 48);
    longer.Grow(60);
    EXPECT_TRUE(target.updateWithOtherContentEncryptionKey(longer));
    EXPECT_EQ(target.getRemoteCEK(), sender.getLocalCEK());
    EXPECT_TRUE(target.encryptionReady());

    // A message before any agreement is refused.
    TunnexEncryption unagreed;
    unagreed.initialize();
    EXPECT_FALSE(unagreed.updateWithOtherContentEncryptionKey(genuine));
    EXPECT_FALSE(unagreed.hasRemoteIV());
}

TEST(Encryption, ChannelCiphersStartFromTheTunnelKeysAndRunOn) {
    AgreedPair pair;
    const Bytes first = sequence(0, 16), rest = sequence(100, 1000);

    // Two channels of one tunnel share the start of their key stream.
    TunnexStreamCipher channel1, channel2;
    EXPECT_EQ(encryptChannelBytes(*pair.a, first, channel1), encryptChannelBytes(*pair.a, first, channel2));
    ASSERT_NE(channel1, nullptr);

    // The socket keeps its cipher; the stream continues, so splitting changes nothing.
    Bytes whole = first;
    whole.insert(whole.end(), rest.begin(), rest.end());
    TunnexStreamCipher fresh, receiving;
    Bytes expected = *encryptChannelBytes(*pair.a, whole, fresh);
    Bytes continued = *encryptChannelBytes(*pair.a, rest, channel1);
    EXPECT_EQ(continued, Bytes(expected.begin() + 16, expected.end()));
    EXPECT_EQ(decryptChannelBytes(*pair.b, expected, receiving), whole);

    EXPECT_EQ(encryptChannelBytes(*pair.a, {}, channel2), Bytes{});

    // A tunnel that never completed the exchange gives no cipher.
    TunnexEncryption unkeyed;
    TunnexStreamCipher none;
    EXPECT_EQ(encryptChannelBytes(unkeyed, first, none), std::nullopt);
    EXPECT_EQ(decryptChannelBytes(unkeyed, first, none), std::nullopt);
    EXPECT_EQ(none, nullptr);
}

// The channel cipher must give Crypto++'s CFB bytes wherever the buffers lie in memory and however
// the stream is cut: pieces that end mid-block leave the next one starting off a block boundary.
TEST(Encryption, ChannelCfbMatchesCryptoppAtAnySplitAndAddress) {
    std::mt19937 random(5);
    uint8_t key[16], iv[16];
    for (auto& b : key) b = uint8_t(random());
    for (auto& b : iv) b = uint8_t(random());
    Bytes plain(70000);
    for (auto& b : plain) b = uint8_t(random());
    Bytes reference(plain.size());
    CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption(key, sizeof key, iv)
        .ProcessData(reference.data(), plain.data(), plain.size());

    struct Cut {
        const char* what;
        size_t largest;  // pieces of 0 to largest bytes
    };
    for (const Cut& cut : {Cut{"bytes", 3}, Cut{"around a block", 40}, Cut{"many blocks", 9000}}) {
        for (bool inPlace : {true, false}) {
            TunnexAesCfb encryptor(TunnexAesCfb::Direction::Encrypt, key, sizeof key, iv);
            TunnexAesCfb decryptor(TunnexAesCfb::Direction::Decrypt, key, sizeof key, iv);
            Bytes source(plain.size() + 32), target(plain.size() + 32);
            const size_t shift = random() % 16;  // off any alignment the block cipher might like
            uint8_t* in = source.data() + shift;
            uint8_t* out = inPlace ? in : target.data() + (shift + 7) % 16;
            std::copy(plain.begin(), plain.end(), in);
            auto run = [&](TunnexAesCfb& cipher) {
                for (size_t at = 0; at < plain.size();) {
                    const size_t take = std::min(plain.size() - at, size_t(random() % (cut.largest + 1)));
                    cipher.ProcessData(out + at, in + at, take);
                    at += take;
                }
            };
            run(encryptor);
            EXPECT_TRUE(std::equal(reference.begin(), reference.end(), out)) << cut.what << " in place " << inPlace;
            if (!inPlace) std::copy(out, out + plain.size(), in);
            run(decryptor);
            EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out)) << cut.what << " in place " << inPlace;
        }
    }
}

TEST(Encryption, BothDirectionsRunConcurrentlyOnSharedObjects) {
    AgreedPair pair;
    auto roundTrips = [](std::shared_ptr<TunnexEncryption> from, std::shared_ptr<TunnexEncryption> to, uint8_t seed) {
        int good = 0;
        for (int i = 0; i < 200; ++i) {
            Bytes plain = sequence(seed + i, 1456);
            if (to->decryptBytes(from->encryptBytes(plain)) == plain) ++good;
        }
        return good;
    };
    int forward = 0, backward = 0;
    {
        std::jthread one([&, a = pair.a, b = pair.b] { forward = roundTrips(a, b, 1); });
        std::jthread two([&, a = pair.a, b = pair.b] { backward = roundTrips(b, a, 2); });
        pair.a.reset();  // the threads keep the objects alive
        pair.b.reset();
    }
    EXPECT_EQ(forward, 200);
    EXPECT_EQ(backward, 200);
}

}  // namespace
}  // namespace kl
