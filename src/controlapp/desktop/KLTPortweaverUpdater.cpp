#include "controlapp/desktop/KLTPortweaverUpdater.h"

#include <sys/wait.h>
#include <unistd.h>

#include "controlapp/KLTDaemonBlessing.h"
#include "foundation/KLTLogging.h"
#include "http/KLHTTPRequestOperation.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Preferences.h"
#include "platform/Process.h"
#include "platform/ValuePlist.h"

namespace kl {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFeedURLKey = "KLFeedURL";
constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";
constexpr uint64_t kMaxFeedLength = 1 << 20;

Error updateError(int code, const std::string& why) { return Error::withDescription("KLUpdaterErrorDomain", code, why); }

void fetchWithHTTP(const std::string& url, uint64_t maxLength, KLTPortweaverUpdater::FetchCompletion done) {
    KLURLRequest request;
    request.url = url;
    auto operation = KLHTTPRequestOperation::operationWithRequest(request);
    // An update archive may be longer than the client's default limit for bodies kept in memory.
    operation->setMaximumResponseBodyLength(size_t(maxLength));
    operation->setCompletionBlockWithSuccess(
        [done, maxLength](const std::shared_ptr<KLHTTPRequestOperation>& op, const Value&) {
            auto body = op->responseData();
            if (!body) return done(updateError(1, "empty reply"));
            if (body->size() > maxLength) return done(updateError(1, "reply too long"));
            done(std::move(*body));
        },
        [done](const std::shared_ptr<KLHTTPRequestOperation>&, const Error& error) { done(error); });
    operation->start();
}

std::optional<std::string> infoString(const fs::path& bundle, const char* key) {
    auto text = readFile(bundle / "Info.plist", 64 * 1024);
    if (!text.ok()) return std::nullopt;
    auto info = valueFromPlist(*text);
    const Dictionary* dictionary = info.ok() ? info->asDictionary() : nullptr;
    const Value* value = dictionary ? dictionary->find(key) : nullptr;
    if (!value || !value->asString()) return std::nullopt;
    return *value->asString();
}

bool bundleIsWritable(const fs::path& bundle) {
    return ::access(bundle.parent_path().c_str(), W_OK) == 0 && ::access(bundle.c_str(), W_OK) == 0;
}

}  // namespace

KLTPortweaverUpdater& KLTPortweaverUpdater::sharedUpdater() {
    static auto* updater = [] {
        std::error_code error;
        fs::path program = fs::read_symlink("/proc/self/exe", error);
        return new KLTPortweaverUpdater(program.parent_path().parent_path(), "com.kelvaro.portweaver.controlapp");
    }();
    return *updater;
}

KLTPortweaverUpdater::KLTPortweaverUpdater(fs::path bundle, std::string preferencesDomain)
    : bundle_(std::move(bundle)), preferencesDomain_(std::move(preferencesDomain)), fetcher_(fetchWithHTTP) {
    helper_ = [bundle = bundle_](const std::vector<std::string>& args) {
        std::vector<std::string> argv;
        if (::geteuid() != 0) argv.push_back("pkexec");
        argv.push_back((bundle / "libexec" / kRootHelperName).string());
        argv.insert(argv.end(), args.begin(), args.end());
        int status = runProgram(argv);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
}

bool KLTPortweaverUpdater::automaticallyChecksForUpdates() {
    return Preferences(preferencesDomain_).boolean(kAutomaticChecksKey).value_or(true);
}

void KLTPortweaverUpdater::setAutomaticallyChecksForUpdates(bool checks) {
    Preferences preferences(preferencesDomain_);
    preferences.setValue(kAutomaticChecksKey, Value(checks));
    preferences.synchronize();
}

std::string KLTPortweaverUpdater::feedURL() {
    if (auto value = Preferences(preferencesDomain_).value(kFeedURLKey); value && value->asString())
        return *value->asString();
    return infoString(bundle_, kFeedURLKey).value_or("");
}

void KLTPortweaverUpdater::checkForUpdatesInBackground(Completion done) {
    if (!done) done = [](Result<bool>) {};
    const std::string url = feedURL();
    auto installed = controlAppBundleVersion(bundle_);
    if (url.empty() || !installed) return done(updateError(2, "no feed URL or no installed version"));
    fetcher_(url, kMaxFeedLength, [this, installed = *installed, done](Result<Bytes> feed) {
        if (!feed.ok()) {
            KLLog(kKLTLoggingLevelInfo, "Could not fetch the update feed: %s", feed.error().description().c_str());
            return done(feed.error());
        }
        auto items = AppcastUpdater::parseFeed(*feed);
        if (!items.ok()) {
            KLLog(kKLTLoggingLevelInfo, "The update feed is not valid: %s", items.error().description().c_str());
            return done(items.error());
        }
        available_ = AppcastUpdater::bestUpdate(*items, installed);
        if (!available_) return done(false);
        if (auto delegate = delegate_.lock()) delegate->updaterDidFindValidUpdate(*available_);
        done(true);
    });
}

void KLTPortweaverUpdater::installUpdate(const AppcastItem& item, Completion done) {
    fetcher_(item.url, item.length, [this, item, done](Result<Bytes> archive) {
        if (!archive.ok()) return done(archive.error());
        if (auto why = AppcastUpdater::verifyArchive(item, *archive, AppcastUpdater::publicKeyOfBundle(bundle_))) {
            KLLog(kKLTLoggingLevelError, "Refusing the update %s: %s", item.version.c_str(), why->c_str());
            return done(updateError(3, *why));
        }
        installVerified(item, *archive, done);
    });
}

void KLTPortweaverUpdater::installVerified(const AppcastItem& item, const Bytes& archive, Completion done) {
    // The verified bytes are what gets installed: written to a private file, not fetched again.
    std::string pattern = (paths::runtimeDir() / "portweaver-update-XXXXXX").string();
    std::error_code error;
    fs::create_directories(paths::runtimeDir(), error);
    if (!::mkdtemp(pattern.data())) return done(posixError(errno, "mkdtemp"));
    const fs::path folder = pattern;
    const fs::path file =
        folder / (item.kind == AppcastArchiveKind::DebianPackage ? "update.deb" : "update.tar.gz");
    auto written = writeFileAtomically(file, std::string_view(reinterpret_cast<const char*>(archive.data()), archive.size()), 0644, 0700);
    if (!written.ok()) {
        fs::remove_all(folder, error);
        return done(written.error());
    }
    if (auto delegate = delegate_.lock()) delegate->updaterWillInstallUpdate(item);
    Result<bool> result = false;
    if (item.kind == AppcastArchiveKind::Tarball && bundleIsWritable(bundle_)) {
        result = AppcastUpdater::installTarball(file, bundle_);
    } else if (item.kind == AppcastArchiveKind::DebianPackage) {
        // The helper runs as root: it must be able to read the package.
        ::chmod(folder.c_str(), 0755);
        result = helper_({"install-package", file.string()}) ? Result<bool>(true)
                                                             : Result<bool>(updateError(4, "dpkg -i failed"));
    } else {
        result = updateError(5, "the bundle is not writable; install the package instead");
    }
    fs::remove_all(folder, error);
    done(std::move(result));
}

}  // namespace kl
