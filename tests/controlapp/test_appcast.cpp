#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

#include <filesystem>

#include "controlapp/desktop/AppcastUpdater.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/ValuePlist.h"
#include "support/TestEnvironment.h"

using namespace kl;
namespace fs = std::filesystem;

namespace {

std::string encode(const Bytes& bytes, bool hex) {
    std::string out;
    if (hex) {
        CryptoPP::StringSource(bytes.data(), bytes.size(), true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(out), false));
    } else {
        CryptoPP::StringSource(bytes.data(), bytes.size(), true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), false));
    }
    return out;
}

Bytes toBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A signing key pair made for this test run.
struct Signer {
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::ed25519::Signer signer;
    Signer() { signer.AccessPrivateKey().GenerateRandom(rng); }
    Bytes publicKey() {
        CryptoPP::ed25519::Verifier verifier(signer);
        const auto& key = dynamic_cast<const CryptoPP::ed25519PublicKey&>(verifier.GetPublicKey());
        return Bytes(key.GetPublicKeyBytePtr(), key.GetPublicKeyBytePtr() + 32);
    }
    Bytes sign(const Bytes& message) {
        Bytes signature(signer.MaxSignatureLength());
        signature.resize(signer.SignMessage(rng, message.data(), message.size(), signature.data()));
        return signature;
    }
};

Bytes sha256(const Bytes& data) {
    Bytes digest(32);
    CryptoPP::SHA256().CalculateDigest(digest.data(), data.data(), data.size());
    return digest;
}

std::string itemXml(const std::string& version, const Bytes& archive, const Bytes& signature,
                    const std::string& type = "application/gzip") {
    return "<item><title>Port Weaver " + version + "</title><enclosure url=\"https://updates.example/pw-" + version +
           ".tar.gz\" length=\"" + std::to_string(archive.size()) + "\" type=\"" + type + "\" pw:version=\"" + version +
           "\" pw:sha256=\"" + encode(sha256(archive), true) + "\" pw:signature=\"" + encode(signature, false) +
           "\"/></item>";
}

Bytes feedOf(const std::string& items) {
    return toBytes("<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:pw=\"https://kelvaro.com/xml/appcast\"><channel>"
                   "<title>Port Weaver</title>" + items + "</channel></rss>");
}

void writeBundle(const fs::path& bundle, const std::string& identifier, const std::string& version,
                 const std::string& payload) {
    Dictionary info{{"CFBundleIdentifier", Value(identifier)}, {"CFBundleVersion", Value(version)}};
    auto plist = valueToPlist(Value(info), PlistFormat::Xml);
    ASSERT_TRUE(plist.ok());
    ASSERT_TRUE(writeFileAtomically(bundle / "Info.plist", std::string(plist->begin(), plist->end())).ok());
    ASSERT_TRUE(writeFileAtomically(bundle / "bin/portweaver", payload).ok());
}

fs::path makeTarball(const std::string& identifier, const std::string& version, const std::string& payload) {
    auto dir = test::makeTempDir("src");
    writeBundle(dir / "PortWeaver", identifier, version, payload);
    auto archive = test::makeTempDir("tgz") / "bundle.tar.gz";
    int status = runProgram({"tar", "-czf", archive.string(), "-C", dir.string(), "PortWeaver"});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return archive;
}

}  // namespace

TEST(Appcast, PicksOnlyANewerVersionAndSkipsMalformedItems) {
    Signer signer;
    Bytes archive = toBytes("archive");
    Bytes signature = signer.sign(archive);
    auto feed = feedOf(itemXml("1.2.9", archive, signature) + itemXml("1.10.0", archive, signature) +
                       itemXml("1.3.a", archive, signature) +
                       "<item><enclosure url=\"https://x/y.tar.gz\" length=\"7\"/></item>" +
                       itemXml("2.0", archive, signature, "text/html"));
    auto items = AppcastUpdater::parseFeed(feed);
    ASSERT_TRUE(items.ok());
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[1].url, "https://updates.example/pw-1.10.0.tar.gz");
    EXPECT_EQ((*items)[1].length, archive.size());
    EXPECT_EQ((*items)[1].kind, AppcastArchiveKind::Tarball);

    struct Case {
        const char* installed;
        const char* offered;  // empty: none
    } cases[] = {{"1.2.0", "1.10.0"}, {"1.9.0", "1.10.0"}, {"1.10.0", ""}, {"1.11", ""}};
    for (const auto& c : cases) {
        auto best = AppcastUpdater::bestUpdate(*items, c.installed);
        EXPECT_EQ(best ? best->version : "", c.offered) << "installed " << c.installed;
    }

    auto deb = AppcastUpdater::parseFeed(feedOf(itemXml("3", archive, signature, "application/vnd.debian.binary-package")));
    ASSERT_TRUE(deb.ok() && deb->size() == 1);
    EXPECT_EQ(deb->front().kind, AppcastArchiveKind::DebianPackage);

    for (const char* bad : {"", "<rss><channel><item>", "<html/>", "not xml at all"})
        EXPECT_FALSE(AppcastUpdater::parseFeed(toBytes(bad)).ok()) << bad;
}

TEST(Appcast, OnlyTheSignedArchiveAsAnnouncedVerifies) {
    Signer signer, stranger;
    Bytes archive = toBytes(std::string(1000, 'x') + "payload");
    auto items = AppcastUpdater::parseFeed(feedOf(itemXml("2.0", archive, signer.sign(archive))));
    ASSERT_TRUE(items.ok() && items->size() == 1);
    const AppcastItem& item = items->front();
    EXPECT_EQ(AppcastUpdater::verifyArchive(item, archive, signer.publicKey()), std::nullopt);

    Bytes cut(archive.begin(), archive.end() - 1);
    Bytes altered = archive;
    altered[10] ^= 1;
    AppcastItem resigned = item;  // digest of the altered archive, signature of the original
    resigned.sha256 = sha256(altered);
    AppcastItem foreign = item;
    foreign.signature = stranger.sign(archive);
    struct Case {
        const char* what;
        const AppcastItem& item;
        const Bytes& archive;
        Bytes key;
    } cases[] = {
        {"cut download", item, cut, signer.publicKey()},
        {"wrong digest", item, altered, signer.publicKey()},
        {"signature of other bytes", resigned, altered, signer.publicKey()},
        {"signed by another key", foreign, archive, signer.publicKey()},
        {"no key", item, archive, {}},
    };
    for (const auto& c : cases) EXPECT_NE(AppcastUpdater::verifyArchive(c.item, c.archive, c.key), std::nullopt) << c.what;
}

TEST(Appcast, BundleKeyIsRead) {
    Signer signer;
    auto bundle = test::makeTempDir("bundle");
    EXPECT_TRUE(AppcastUpdater::publicKeyOfBundle(bundle).empty());
    ASSERT_TRUE(writeFileAtomically(bundle / kAppcastPublicKeyFile, encode(signer.publicKey(), false) + "\n").ok());
    EXPECT_EQ(AppcastUpdater::publicKeyOfBundle(bundle), signer.publicKey());
}

TEST(AppcastInstall, NewerTarballIsSwappedInAndAnythingElseChangesNothing) {
    auto place = test::makeTempDir("apps");
    const fs::path bundle = place / "PortWeaver";
    writeBundle(bundle, "com.kelvaro.portweaver.controlapp", "1.2", "old program");

    struct Refused {
        const char* what;
        fs::path archive;
    } refused[] = {
        {"same version", makeTarball("com.kelvaro.portweaver.controlapp", "1.2", "same")},
        {"older version", makeTarball("com.kelvaro.portweaver.controlapp", "1.1", "older")},
        {"another app", makeTarball("com.example.other", "9.0", "other")},
        {"not a tarball", [] {
             auto file = test::makeTempDir("junk") / "junk.tar.gz";
             EXPECT_TRUE(writeFileAtomically(file, "junk").ok());
             return file;
         }()},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(AppcastUpdater::installTarball(r.archive, bundle).ok()) << r.what;
        EXPECT_EQ(*readFile(bundle / "bin/portweaver"), "old program") << r.what;
        // Nothing is left beside the bundle.
        EXPECT_EQ(std::distance(fs::directory_iterator(place), fs::directory_iterator()), 1) << r.what;
    }

    auto result = AppcastUpdater::installTarball(makeTarball("com.kelvaro.portweaver.controlapp", "1.10", "new program"), bundle);
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(*readFile(bundle / "bin/portweaver"), "new program");
    EXPECT_EQ(controlAppBundleVersion(bundle), "1.10");
    EXPECT_EQ(std::distance(fs::directory_iterator(place), fs::directory_iterator()), 1);
}
