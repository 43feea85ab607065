#include "daemon/PWDaemon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>

#include "daemon/KLTDaemonManager.h"
#include "daemon/registrar/KLTServiceRegistrar.h"
#include "daemon/PWControlAppConnections.h"
#include "daemon/PWControlListener.h"
#include "platform/NotifyBus.h"
#include "daemon/PWControlProtocol.h"
#include "daemon/PWConstants.h"
#include "daemon/PWDaemonAccount.h"
#include "daemon/PWRegistrar.h"
#include "daemon/PWRemoteServices.h"
#include "daemon/PWScannedServices.h"
#include "daemon/model/PWServicesManager.h"
#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"
#include "foundation/KLTSystemInformation.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "platform/Executors.h"
#include "platform/Preferences.h"
#include "tunnel/peer/TunnexPeer.h"

namespace kl {

namespace {

void seedRandom() {
    unsigned seed = 0;
    if (::getrandom(&seed, sizeof seed, 0) != ssize_t(sizeof seed)) seed = unsigned(::time(nullptr)) ^ unsigned(::getpid());
    ::srandom(seed);
}

void assignLoggingLevel() {
    Preferences preferences(kPWControlServiceName);
    if (auto level = preferences.integer("loggingLevel"); level && *level >= INT32_MIN && *level <= INT32_MAX) {
        KLLog(kKLTLoggingLevelInfo, "Assigning logging level to: %ld", long(*level));
        setLoggingLevel(int32_t(*level));
    } else {
        KLLog(kKLTLoggingLevelError, "Could not assign logging level from preferences");
    }
}

// "Dec 10, 2026, 8:06:38 PM": the medium date and time styles of the en_US locale, in UTC.
std::string mediumDateTime(double secondsSince1970) {
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = time_t(secondsSince1970);
    struct tm parts{};
    ::gmtime_r(&t, &parts);
    int hour = parts.tm_hour % 12 == 0 ? 12 : parts.tm_hour % 12;
    char text[64];
    std::snprintf(text, sizeof text, "%s %d, %d, %d:%02d:%02d %s", kMonths[parts.tm_mon], parts.tm_mday,
                  parts.tm_year + 1900, hour, parts.tm_min, parts.tm_sec, parts.tm_hour < 12 ? "AM" : "PM");
    return text;
}

std::optional<long> environmentNumber(const char* name) {
    const char* text = std::getenv(name);
    if (!text || !*text) return std::nullopt;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end || value < 0) return std::nullopt;
    return value;
}

// A daemon that binds its own socket (run by hand, not by the service manager) makes sure it is
// the only one: the lock beside the socket is held for the process's life.
bool holdInstanceLock() {
    std::string path = ipc::socketPathForService(kPWControlServiceName).string() + ".instance";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        KLLog(kKLTLoggingLevelError, "Cannot open the instance lock %s", path.c_str());
        return true;  // no lock to be had is no proof of another daemon
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        KLLog(kKLTLoggingLevelError, "Another daemon is running (%s is locked)", path.c_str());
        ::close(fd);
        return false;
    }
    return true;  // the descriptor stays open: the lock lasts until exit
}

}  // namespace

int runDaemon(int argc, char** argv, const PWDaemonBuildInfo& build) {
    // 1.
    std::signal(SIGPIPE, SIG_IGN);
    seedRandom();
    // 2.
    assignLoggingLevel();
    bool activated = std::getenv("LISTEN_FDS") != nullptr;
    if (!activated && !holdInstanceLock()) return 1;
    // 3. and 4.
    PWConstants::forceInitialization();
    PWDaemonAccount account;
    KLLog(kKLTLoggingLevelInfo, "%s", kPWDaemonJobLabel);
    KLLog(kKLTLoggingLevelInfo, "Executable path = %s", argc > 0 ? argv[0] : "");
    // 5.
    if (build.buildDate && !build.revision.empty()) {
        KLLog(kKLTLoggingLevelInfo, "Version = %s", build.revision.c_str());
        KLLog(kKLTLoggingLevelInfo, "Build date = %s", mediumDateTime(*build.buildDate).c_str());
        uint32_t v = TunnexPeer::version();
        KLLog(kKLTLoggingLevelInfo, "Tunnex reported version %d.%d.%d", int((v >> 16) & 0xff), int((v >> 8) & 0xff),
              int(v & 0xff));
    }
    // 6.
    KLLog(kKLTLoggingLevelDebug, "Machine UUID: %s", KLDevice::machineUniqueID().value_or("").c_str());
    KLLog(kKLTLoggingLevelDebug, "Detected Mac OS %s", KLTSystemInformation::rawSystemVersionString().c_str());
    KLLog(kKLTLoggingLevelDebug, "Starting up Registrar notifications...");
    // 7.
    // The services manager loads its archive when made; the account client registers what its
    // scan finds and reconciles each host list into the remote service records.
    auto servicesManager = PWServicesManager::sharedManager();
    auto remoteServices = PWRemoteServices::create();
    PWRegistrar::Options registrarOptions;
    registrarOptions.baseURL = PWConstants::registrarBaseURL();
    registrarOptions.fallbackRendezvousServer = PWConstants::fallbackRendezvousServer();
    registrarOptions.offeredServices = std::make_shared<PWScannedServices>(servicesManager);
    registrarOptions.reconciler = remoteServices;
    auto registrar = PWRegistrar::create(std::move(registrarOptions));
    remoteServices->setAccountClient(registrar);
    account.start(registrar);
    MainLoop& loop = mainLoop();
    KLTDaemonManager::Environment environment;
    environment.build = build;
    environment.accountClient = account.client();
    environment.servicesManager = servicesManager;
    // Remote services on local ports: installed as the tunnel's registrar on creation.
    auto serviceRegistrar = KLTServiceRegistrar::sharedInstance();
    if (auto client = account.client()) serviceRegistrar->followSignOuts(*client);
    environment.follower = serviceRegistrar;
    environment.stopRelays = [&account] { account.stop(); };
    environment.loop = &loop;
    KLTDaemonManager::setEnvironment(std::move(environment));
    // 8.
    KLLog(kKLTLoggingLevelInfo, "Starting up services scanner...");
    servicesManager->beginReportingServicesAvailability(loop);
    // 9.
    PWControlListenerOptions options;
    if (auto seconds = environmentNumber("KL_DAEMON_WATCHDOG_SECONDS"); seconds && *seconds > 0)
        options.watchdogSeconds = unsigned(*seconds);
    if (auto stall = environmentNumber("KL_DAEMON_TEST_STALL_COMMAND")) options.stallCommand = uint64_t(*stall);
    PWControlListener listener(loop, options);
    if (listener.start()) {
        // Control apps whose link dropped check in again when they see this.
        NotifyBus::post("com.kelvaro.portweaver.daemon.started", NotifyBus::Scope::System);
    }

    // SIGTERM (the service manager's stop) and SIGINT end the main loop, and with it the daemon.
    asio::signal_set stopSignals(loop.context(), SIGTERM, SIGINT);
    stopSignals.async_wait([&loop](const std::error_code& error, int) {
        if (!error) loop.stop();
    });
    // 10.
    loop.run();
    // 11.
    stopSignals.cancel();
    listener.stop();
    account.stop();
    servicesManager->endReportingServicesAvailability();
    KLLog(kKLTLoggingLevelInfo, "Exiting (main).");
    return 0;
}

}  // namespace kl
