// The app delegate's desktop services: login items and its side of the updater.
#include <condition_variable>
#include <mutex>

#include "controlapp/KLIPCReading.h"
#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "controlapp/desktop/KLTProcess.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"
#include "platform/Preferences.h"

namespace kl {

namespace {

constexpr const char* kScreenServiceProgram = "com.kelvaro.portweaver.service.deskgate";
constexpr const char* kAppIdentifier = "com.kelvaro.portweaver.controlapp";

}  // namespace

std::string KLTAppDelegate::loginItemProgram() const { return options_.bundlePath + "/bin/portweaver"; }

void KLTAppDelegate::changeStartAtLoginState(bool start) {
    startAtLogin = start;
    Preferences preferences(kAppIdentifier);
    preferences.setValue("startAtLogin", Value(start));
    preferences.synchronize();
    if (start) {
        KLTLaunchServices::addAppAsLoginItem(loginItemProgram(), false, kAppIdentifier);
    } else {
        KLTLaunchServices::deleteAppFromLoginItem(loginItemProgram(), false);
        removeSystemWideLoginItem();
    }
    startAtLoginChanged.emit(start);
    withViews([](auto& v) { v.updateUIState(); });
}

void KLTAppDelegate::addSystemWideLoginItem() { addSystemWideLoginItemForPath(loginItemProgram()); }

void KLTAppDelegate::addSystemWideLoginItemForPath(const std::string& path) {
    // Only when absent: the helper (and its password dialog) runs only for a real change.
    if (KLTLaunchServices::appExistsInLoginItems(path, true)) return;
    KLTLaunchServices::addAppAsLoginItem(path, true, kAppIdentifier);
}

void KLTAppDelegate::removeSystemWideLoginItem() {
    if (!KLTLaunchServices::appExistsInLoginItems(loginItemProgram(), true)) return;
    KLTLaunchServices::deleteAppFromLoginItem(loginItemProgram(), true);
}

void KLTAppDelegate::deleteLoginItemsMatchingUTI(const std::string& text, const std::string& excludedURL) {
    for (bool global : {true, false}) {
        auto items = KLTLaunchServices::applicationURLsForUTI(text, global);
        if (!items) continue;
        for (const auto& [url, inGlobalList] : *items) {
            if (!excludedURL.empty() && url.find(excludedURL) != std::string::npos) continue;
            KLTLaunchServices::deleteAppFromLoginItem(url, global);
        }
    }
}

void KLTAppDelegate::updaterDidFindValidUpdate(const std::string& version) {
    KLLog(kKLTLoggingLevelInfo, "An update to version %s is available", version.c_str());
    updateIsAvailable = true;
    withViews([](auto& v) { v.updateUIState(); });
}

void KLTAppDelegate::updaterWillInstallUpdate(const std::string& itemDescription) {
    KLLog(kKLTLoggingLevelInfo, "Just about to update your application. Updater:%s, appcastItem:%s",
          "KLTPortweaverUpdater", itemDescription.c_str());
    // The screen service must not be restarted while its program is being replaced.
    if (options_.servicesManager) options_.servicesManager->endReportingServicesAvailability();
    KLTProcess::terminateOwnProcessesRunning(kScreenServiceProgram);

    // Without a connection no reply can come: waiting 15 s would only freeze the app.
    if (!daemonConnection_) {
        KLLog(kKLTLoggingLevelInfo, "No daemon connection: not asking the daemon to prepare for the upgrade");
        return;
    }
    struct Exchange {
        std::mutex mutex;
        std::condition_variable done;
        bool replied = false;
    };
    auto exchange = std::make_shared<Exchange>();
    IPCRef message = ipcAdopt(klipc_dictionary_create());
    // Deliberately without authorization: the daemon unloads its job but keeps its installed file.
    klipc_dictionary_set_uint64(message.get(), kPWKeyCommand, ePWControlAppToDaemonCommandPrepareForUpgrade);
    klipc_connection_send_message_with_reply(daemonConnection_, message.get(), klipc_queue_global(),
                                             [exchange](KLIPCMessageType, klipc_object_t) {
                                                 std::lock_guard lock(exchange->mutex);
                                                 exchange->replied = true;
                                                 exchange->done.notify_all();
                                             });
    std::unique_lock lock(exchange->mutex);
    if (!exchange->done.wait_for(lock, kPWBlockingExchangeTimeout, [&] { return exchange->replied; }))
        KLLog(kKLTLoggingLevelError, "Timed out waiting for daemon to prepareForUpgrade");
}

}  // namespace kl
