#include "controlapp/desktop/AppcastUpdater.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

#include <charconv>

#include "controlapp/KLTRevisionCompare.h"
#include "foundation/KLTLogging.h"
#include "http/KLXMLDocument.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/ValuePlist.h"

namespace kl {

namespace fs = std::filesystem;

namespace {

constexpr const char* kControlAppIdentifier = "com.kelvaro.portweaver.controlapp";
constexpr uint64_t kMaxArchiveLength = uint64_t(1) << 30;

Bytes decode(const std::string& text, bool hex) {
    std::string out;
    try {
        if (hex) {
            CryptoPP::StringSource(text, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(out)));
        } else {
            CryptoPP::StringSource(text, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(out)));
        }
    } catch (const CryptoPP::Exception&) {
        return {};
    }
    return Bytes(out.begin(), out.end());
}

bool isHex(const std::string& text) { return text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos; }

bool isNumericVersion(const std::string& text) {
    if (text.empty() || text.front() == '.' || text.back() == '.' || text.find("..") != std::string::npos) return false;
    return text.find_first_not_of("0123456789.") == std::string::npos;
}

std::optional<AppcastArchiveKind> kindOf(const std::optional<std::string>& type, const std::string& url) {
    if (type == "application/vnd.debian.binary-package") return AppcastArchiveKind::DebianPackage;
    if (type == "application/gzip" || type == "application/x-gzip" || type == "application/x-compressed-tar")
        return AppcastArchiveKind::Tarball;
    if (type) return std::nullopt;
    auto endsWith = [&](std::string_view tail) {
        return url.size() >= tail.size() && url.compare(url.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (endsWith(".deb")) return AppcastArchiveKind::DebianPackage;
    if (endsWith(".tar.gz") || endsWith(".tgz")) return AppcastArchiveKind::Tarball;
    return std::nullopt;
}

std::optional<AppcastItem> readItem(const KLXMLNode& node) {
    auto enclosures = node.elementsForName("enclosure");
    if (enclosures.size() != 1) return std::nullopt;
    const KLXMLNode& enclosure = enclosures.front();
    auto url = enclosure.attribute("url");
    auto length = enclosure.attribute("length");
    auto version = enclosure.attribute("version");
    auto digest = enclosure.attribute("sha256");
    auto signature = enclosure.attribute("signature");
    if (!url || !length || !version || !digest || !signature) return std::nullopt;
    AppcastItem item;
    if (auto titles = node.elementsForName("title"); !titles.empty()) item.title = titles.front().stringValue();
    item.url = *url;
    if (item.url.rfind("https://", 0) != 0 && item.url.rfind("http://", 0) != 0) return std::nullopt;
    auto [end, error] = std::from_chars(length->data(), length->data() + length->size(), item.length);
    if (error != std::errc() || end != length->data() + length->size() || item.length == 0 ||
        item.length > kMaxArchiveLength)
        return std::nullopt;
    if (!isNumericVersion(*version)) return std::nullopt;
    item.version = *version;
    if (digest->size() != 64 || !isHex(*digest)) return std::nullopt;
    item.sha256 = decode(*digest, true);
    item.signature = decode(*signature, false);
    if (item.signature.size() != CryptoPP::ed25519PrivateKey::SIGNATURE_LENGTH) return std::nullopt;
    auto kind = kindOf(enclosure.attribute("type"), item.url);
    if (!kind) return std::nullopt;
    item.kind = *kind;
    return item;
}

}  // namespace

Result<std::vector<AppcastItem>> AppcastUpdater::parseFeed(const Bytes& feed) {
    auto document = KLXMLDocument::documentWithData(feed);
    if (!document.ok()) return document.error();
    auto root = (*document)->rootElement();
    if (!root || root->name() != "rss") return Error::withDescription("KLAppcastErrorDomain", 1, "The feed is not an RSS document");
    std::vector<AppcastItem> items;
    for (const auto& channel : root->elementsForName("channel")) {
        for (const auto& node : channel.elementsForName("item")) {
            if (auto item = readItem(node)) {
                items.push_back(std::move(*item));
            } else {
                KLLog(kKLTLoggingLevelInfo, "Ignoring a malformed appcast item");
            }
        }
    }
    return items;
}

std::optional<AppcastItem> AppcastUpdater::bestUpdate(const std::vector<AppcastItem>& items,
                                                      const std::string& currentVersion) {
    const AppcastItem* best = nullptr;
    for (const auto& item : items) {
        if (compareRevisions(item.version, currentVersion) <= 0) continue;
        if (!best || compareRevisions(item.version, best->version) > 0) best = &item;
    }
    if (!best) return std::nullopt;
    return *best;
}

std::optional<std::string> AppcastUpdater::verifyArchive(const AppcastItem& item, const Bytes& archive,
                                                         const Bytes& publicKey) {
    if (archive.size() != item.length) return "the archive's length is not the announced one";
    Bytes digest(CryptoPP::SHA256::DIGESTSIZE);
    CryptoPP::SHA256().CalculateDigest(digest.data(), archive.data(), archive.size());
    if (digest != item.sha256) return "the archive's SHA-256 digest does not match";
    if (publicKey.size() != CryptoPP::ed25519PrivateKey::PUBLIC_KEYLENGTH) return "no valid public key";
    if (item.signature.size() != CryptoPP::ed25519PrivateKey::SIGNATURE_LENGTH) return "no valid signature";
    try {
        CryptoPP::ed25519::Verifier verifier(publicKey.data());
        if (!verifier.VerifyMessage(archive.data(), archive.size(), item.signature.data(), item.signature.size()))
            return "the archive's signature is not valid";
    } catch (const CryptoPP::Exception&) {
        return "the archive's signature is not valid";
    }
    return std::nullopt;
}

Bytes AppcastUpdater::publicKeyOfBundle(const fs::path& bundle) {
    auto text = readFile(bundle / kAppcastPublicKeyFile, 4096);
    if (!text.ok()) return {};
    std::string trimmed = *text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == ' ')) trimmed.pop_back();
    Bytes key = decode(trimmed, false);
    return key.size() == CryptoPP::ed25519PrivateKey::PUBLIC_KEYLENGTH ? key : Bytes{};
}

std::optional<std::string> controlAppBundleVersion(const fs::path& bundle) {
    auto text = readFile(bundle / "Info.plist", 64 * 1024);
    if (!text.ok()) return std::nullopt;
    auto info = valueFromPlist(*text);
    const Dictionary* dictionary = info.ok() ? info->asDictionary() : nullptr;
    const Value* identifier = dictionary ? dictionary->find("CFBundleIdentifier") : nullptr;
    const Value* version = dictionary ? dictionary->find("CFBundleVersion") : nullptr;
    if (!identifier || !identifier->asString() || *identifier->asString() != kControlAppIdentifier) return std::nullopt;
    if (!version || !version->asString()) return std::nullopt;
    return *version->asString();
}

Result<bool> AppcastUpdater::installTarball(const fs::path& archive, const fs::path& bundle) {
    auto failure = [](const std::string& why) { return Error::withDescription("KLAppcastErrorDomain", 2, why); };
    auto installed = controlAppBundleVersion(bundle);
    if (!installed) return failure("the installed bundle is not the control app's");

    // Unpacked beside the bundle, so the swap is a rename within one file system.
    std::string pattern = (bundle.parent_path() / ("." + bundle.filename().string() + ".update-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) return posixError(errno, "mkdtemp");
    const fs::path staging = pattern;
    auto cleanUp = [&] {
        std::error_code error;
        fs::remove_all(staging, error);
    };
    // GNU tar refuses absolute and ".." member names; ownership stays with the user.
    int status = runProgram({"tar", "-xzf", archive.string(), "-C", staging.string(), "--no-same-owner"});
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        cleanUp();
        return failure("the archive could not be unpacked");
    }
    std::vector<fs::path> top;
    std::error_code error;
    for (fs::directory_iterator it(staging, error), end; !error && it != end; it.increment(error)) top.push_back(it->path());
    if (top.size() != 1 || !fs::is_directory(fs::symlink_status(top[0]))) {
        cleanUp();
        return failure("the archive does not hold exactly one bundle folder");
    }
    const fs::path fresh = top[0];
    auto freshVersion = controlAppBundleVersion(fresh);
    if (!freshVersion || compareRevisions(*freshVersion, *installed) <= 0) {
        cleanUp();
        return failure("the archive's bundle is not a newer control app");
    }
    if (::syscall(SYS_renameat2, AT_FDCWD, fresh.c_str(), AT_FDCWD, bundle.c_str(), RENAME_EXCHANGE) != 0) {
        int err = errno;
        cleanUp();
        return posixError(err, "exchanging the bundles");
    }
    // The old bundle now sits where the new one was unpacked.
    cleanUp();
    KLLog(kKLTLoggingLevelInfo, "Updated the bundle at %s to version %s", bundle.c_str(), freshVersion->c_str());
    return true;
}

}  // namespace kl
