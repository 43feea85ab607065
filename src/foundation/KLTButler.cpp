#include "foundation/KLTButler.h"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>

#include "foundation/KLTLogging.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/ValuePlist.h"

namespace kl {
namespace {

// The archive's envelope, which tells our archives from any other property list.
constexpr const char* kArchiverKey = "$archiver";
constexpr const char* kArchiverName = "KLTButler";
constexpr const char* kVersionKey = "$version";
constexpr int64_t kArchiveVersion = 1;
constexpr const char* kTopKey = "$top";

std::mutex gBundleMutex;
std::optional<std::string> gBundleIdentifier;

// The process's umask, read without changing it (umask(2) would, for a moment, for every thread).
mode_t currentUmask() {
    auto status = readFile("/proc/self/status");
    if (status.ok()) {
        size_t at = status.value().find("Umask:");
        if (at != std::string::npos) return mode_t(std::strtoul(status.value().c_str() + at + 6, nullptr, 8));
    }
    return 022;
}

}  // namespace

std::optional<std::filesystem::path> KLTButler::applicationSupportDirectory() {
    auto home = paths::dataHome();
    if (home.empty()) return std::nullopt;
    return home;
}

std::optional<std::filesystem::path> KLTButler::kelvaroSupportDirectory() {
    auto support = applicationSupportDirectory();
    if (!support) return std::nullopt;
    return *support / "Kelvaro";
}

std::optional<std::filesystem::path> KLTButler::glassViewSupportDirectory() {
    auto kelvaro = kelvaroSupportDirectory();
    if (!kelvaro) return std::nullopt;
    return *kelvaro / "Glass View";
}

std::optional<std::filesystem::path> KLTButler::currentBundleSupportDirectory() {
    auto identifier = mainBundleIdentifier();
    auto kelvaro = kelvaroSupportDirectory();
    if (!identifier || !kelvaro) return std::nullopt;
    return *kelvaro / *identifier;
}

void KLTButler::setMainBundleIdentifier(std::string identifier) {
    std::lock_guard lock(gBundleMutex);
    if (identifier.empty()) gBundleIdentifier.reset();
    else gBundleIdentifier = std::move(identifier);
}

std::optional<std::string> KLTButler::mainBundleIdentifier() {
    std::lock_guard lock(gBundleMutex);
    return gBundleIdentifier;
}

bool KLTButler::createDirectoryAtPath(const std::filesystem::path& path) {
    if (path.empty()) return false;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (path.has_parent_path() && path.parent_path() != path && !createDirectoryAtPath(path.parent_path())) return false;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
    ::chmod(path.c_str(), 0755);  // mkdir honours the umask
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool KLTButler::archiveObject(const Value& object, const std::filesystem::path& path) {
    createDirectoryAtPath(path.parent_path());
    Dictionary envelope{{kArchiverKey, kArchiverName}, {kVersionKey, kArchiveVersion}, {kTopKey, object}};
    auto encoded = valueToPlist(Value(std::move(envelope)), PlistFormat::Binary);
    if (encoded.ok()) {
        std::string_view data(reinterpret_cast<const char*>(encoded.value().data()), encoded.value().size());
        if (writeFileAtomically(path, data, mode_t(0666 & ~currentUmask())).ok()) return true;
    }
    KLLogWrite(kKLTLoggingLevelError, "Error archiving to file: %s with object: %s", path.c_str(),
               object.description().c_str());
    return false;
}

std::optional<Value> KLTButler::unarchiveFileWithPath(const std::filesystem::path& path) {
    auto contents = readFile(path);
    if (!contents.ok()) return std::nullopt;
    auto decoded = valueFromPlist(contents.value());
    if (decoded.ok()) {
        const Value& envelope = decoded.value();
        const Value* top = envelope.get(kTopKey);
        if (envelope.stringOr(kArchiverKey, "") == kArchiverName && envelope.intOr(kVersionKey, 0) == kArchiveVersion &&
            top)
            return *top;
    }
    KLLogWrite(kKLTLoggingLevelError, "Error reading archive: %s", path.c_str());
    return std::nullopt;
}

}  // namespace kl
