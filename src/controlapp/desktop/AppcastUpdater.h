// Updates from an appcast: an RSS feed whose items each offer one signed archive of the app.
//
//   <item><title>Port Weaver 1.3</title>
//     <enclosure url="https://.../PortWeaver-1.3.tar.gz" length="123456"
//                type="application/gzip" pw:version="1.3.0" pw:sha256="<hex>"
//                pw:signature="<base64 Ed25519 signature of the archive>"/></item>
//
// The archive is a gzip'd tarball holding the bundle folder, or a Debian package
// (type "application/vnd.debian.binary-package"). Nothing is installed unless its length, SHA-256
// and Ed25519 signature (checked with the public key the running bundle carries) all match.
// No I/O here except installTarball, so the checks are testable on bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

enum class AppcastArchiveKind { Tarball, DebianPackage };

struct AppcastItem {
    std::string title;
    std::string version;  // digits and dots
    std::string url;
    uint64_t length = 0;
    Bytes sha256;         // 32 bytes
    Bytes signature;      // 64 bytes
    AppcastArchiveKind kind = AppcastArchiveKind::Tarball;
};

// The public key file inside the bundle: the 32-byte Ed25519 key in base64.
inline constexpr const char* kAppcastPublicKeyFile = "share/update-signing-key.pub";

class AppcastUpdater {
public:
    // The feed's well-formed items; an item lacking a field or with a malformed one is left out
    // (and logged). An error when the feed is not XML or not RSS.
    static Result<std::vector<AppcastItem>> parseFeed(const Bytes& feed);
    // The newest item whose version is newer than currentVersion, if any.
    static std::optional<AppcastItem> bestUpdate(const std::vector<AppcastItem>& items,
                                                 const std::string& currentVersion);
    // Why archive may not be installed (cut or overlong, digest, signature), or nothing when it may.
    static std::optional<std::string> verifyArchive(const AppcastItem& item, const Bytes& archive,
                                                    const Bytes& publicKey);
    // The bundle's public key; empty when missing or malformed.
    static Bytes publicKeyOfBundle(const std::filesystem::path& bundle);

    // Unpacks a verified tarball beside bundle, checks the bundle in it (Info.plist with the
    // control app's identifier and a CFBundleVersion newer than the installed one) and swaps it in
    // by rename. On any failure the installed bundle is left as it was.
    static Result<bool> installTarball(const std::filesystem::path& archive, const std::filesystem::path& bundle);
};

// The bundle's "CFBundleVersion", when its Info.plist names the control app.
std::optional<std::string> controlAppBundleVersion(const std::filesystem::path& bundle);

}  // namespace kl
