// Installing and upgrading the daemon from the app's bundle.
#include <filesystem>

#include "controlapp/KLIPCReading.h"
#include "controlapp/KLTAppDelegate.h"
#include "controlapp/KLTEmbeddedInfo.h"
#include "controlapp/KLTRevisionCompare.h"
#include "daemon/PWControlProtocol.h"
#include "daemon/PWDaemonBuildInfo.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "platform/Executors.h"
#include "platform/Files.h"
#include "platform/InstalledPaths.h"
#include "platform/Paths.h"
#include "platform/ValuePlist.h"

namespace kl {

namespace {

constexpr auto kCheckInWait = std::chrono::seconds(1);

std::filesystem::path bundleTool(const std::string& bundlePath, const std::string& tool) {
    return std::filesystem::path(bundlePath) / "libexec" / tool;
}

std::string describeDate(const Date& date) {
    time_t seconds = time_t(date.secondsSince1970);
    struct tm local {};
    char text[64] = "";
    if (localtime_r(&seconds, &local)) strftime(text, sizeof text, "%x %R", &local);
    return text;
}

double sinceReferenceDate(const std::optional<Date>& date) {
    return date ? date->secondsSince1970 - kSecondsFrom1970To2001 : 0.0;
}

}  // namespace

void KLTAppDelegate::setupDaemon() {
    observeDaemonStarts();
    checkInWithDaemon();
    resetGenericAuthorization();
    updateVersionsNumbers();
    install();
}

void KLTAppDelegate::observeDaemonStarts() {
    // A restarted daemon announces itself; without this the link would stay interrupted.
    std::weak_ptr<KLTAppDelegate> weak = weak_from_this();
    daemonStartedObserver_ = std::make_unique<NotifyBus::Observer>(
        kPWDaemonStartedNotification, NotifyBus::Scope::System, [](Task task) { mainLoop().post(std::move(task)); },
        [weak] {
            if (auto self = weak.lock()) self->checkInWithDaemon();
        });
}

bool KLTAppDelegate::getInAppVersion(std::optional<std::string>* version, std::optional<std::string>* revision,
                                     std::optional<Date>* buildDate, const std::string& tool) const {
    auto found = toolVersion(bundleTool(options_.bundlePath, tool));
    if (version) *version = found ? found->version : std::nullopt;
    if (revision) *revision = found ? found->revision : std::nullopt;
    if (buildDate) *buildDate = found ? found->buildDate : std::nullopt;
    return found && found->version && found->buildDate;
}

void KLTAppDelegate::updateVersionsNumbers() {
    appVersion.clear();
    auto text = readFile(std::filesystem::path(options_.bundlePath) / "Info.plist", kKLInfoPlistMaxSize);
    if (auto info = text ? valueFromPlist(*text) : Result<Value>(text.error()); info && info->asDictionary())
        if (const Value* v = info->asDictionary()->find("CFBundleShortVersionString"); v && v->asString())
            appVersion = *v->asString();
    std::string daemonDescription;
    if (getInAppVersion(&ourDaemonVersion, &ourDaemonRevision, &ourDaemonBuildDate, kPWDaemonJobLabel))
        daemonDescription = *ourDaemonVersion + " " + describeDate(*ourDaemonBuildDate);
    fullVersionString = appVersion + " (Daemon:" + daemonDescription + ")";
}

void KLTAppDelegate::install() {
    auto waiting = [this] {
        auto state = daemonState();
        return state == ePWDaemonStateTryingCheckin || state == ePWDaemonStateInterrupted;
    };
    if (waiting()) {
        // Lets the check-in reply arrive; a later one is only logged.
        mainLoop().runUntil([&] { return !waiting(); }, kCheckInWait);
        if (waiting()) setDaemonState(ePWDaemonStateNotCheckedIn);
    }
    if (daemonInstallNeed()) installOrUpgradeDaemon();
}

bool KLTAppDelegate::daemonInstallNeed() {
    switch (daemonState()) {
    case ePWDaemonStateNotCheckedIn:
        KLLog(kKLTLoggingLevelDebug, "daemonInstallNeed, self.daemonState == ePWDaemonStateNotCheckedIn");
        return true;
    case ePWDaemonStateTryingCheckin:
        KLLog(kKLTLoggingLevelDebug, "daemonInstallNeed, self.daemonState == ePWDaemonStateTryingCheckin");
        break;
    case ePWDaemonStateCheckedIn: {
        KLLog(kKLTLoggingLevelVerbose, "is daemonInstallNeed?, self.daemonState == ePWDaemonStateCheckedIn");
        KLLog(kKLTLoggingLevelVerbose, "------------ Before we compare, here are the versions:-----------");
        KLLog(kKLTLoggingLevelVerbose, "OURS:   DaemonVersion:%s, DaemonRevision:%s, DaemonBuildDate:%f",
              ourDaemonVersion.value_or("(null)").c_str(), ourDaemonRevision.value_or("(null)").c_str(),
              sinceReferenceDate(ourDaemonBuildDate));
        KLLog(kKLTLoggingLevelVerbose, "RUNNING:DaemonVersion:%s, DaemonRevision:%s, DaemonBuildDate:%f",
              daemonVersion.value_or("(null)").c_str(), daemonRevision.value_or("(null)").c_str(),
              daemonBuildTimeInterval);
        KLLog(kKLTLoggingLevelVerbose, "%s", std::string(66, '-').c_str());
        if (daemonVersion && ourDaemonVersion && ourDaemonBuildDate) {
            int order = compareRevisions(daemonRevision.value_or(""), ourDaemonRevision.value_or(""));
            if (order < 0) {
                KLLog(kKLTLoggingLevelDebug, "daemonInstallNeed, Ours is newer, so we should install it.");
                return true;
            }
            if (order > 0) KLLog(kKLTLoggingLevelDebug, "daemonInstallNeed, All up to date, nothing to install.");
        }
        break;
    }
    case ePWDaemonStateInterrupted:
        KLLog(kKLTLoggingLevelDebug, "daemonInstallNeed, self.daemonState == ePWDaemonStateInterrupted");
        break;
    default:
        KLLog(kKLTLoggingLevelDebug, "daemonInstallNeed, self.daemonState == %d (default handler)", int(daemonState()));
        break;
    }
    std::error_code error;
    if (std::filesystem::exists(paths::system(installed::kDaemonProgram), error)) return false;
    KLLog(kKLTLoggingLevelInfo, "daemon not in %s", installed::kProgramDir);
    return true;
}

void KLTAppDelegate::installOrUpgradeDaemon() {
    prepareDaemonForUpgrade();
    switch (options_.bless ? options_.bless(options_.bundlePath) : KLTBlessResult::Failed) {
    case KLTBlessResult::Refused:
        withViews([](auto& v) { v.credentialsRefused(); });
        return;
    case KLTBlessResult::Failed:
        KLLog(kKLTLoggingLevelError, "Installing the daemon failed!");
        break;
    case KLTBlessResult::Installed:
        // The new daemon's socket may take a moment to appear; a check-in before it would fail.
        mainLoop().runUntil(
            [] {
                std::error_code error;
                return std::filesystem::exists(ipc::socketPathForService(kPWControlServiceName), error);
            },
            kCheckInWait);
        break;
    }
    checkInWithDaemon();
}

void KLTAppDelegate::upgrade() {
    if (!checkGenericAuthorization()) return;
    tellDaemonToTellControlAppsToQuitOrRestart(false);
    if (daemonInstallNeed()) {
        doingDaemonUpgrade = true;
        installOrUpgradeDaemon();
    }
    withViews([](auto& v) { v.updateUIState(); });
}

bool KLTAppDelegate::prepareDaemonForUpgrade() {
    if (!daemonConnection_ || daemonState() != ePWDaemonStateCheckedIn) return true;
    return sendAuthorizedCommandToDaemonAndWaitForReply(ePWControlAppToDaemonCommandPrepareForUpgrade);
}

}  // namespace kl
