// The daemon: signs this computer in, registers its services and serves the control apps.
#include <cstdlib>

#include "DaemonBuildValues.h"
#include "daemon/PWDaemon.h"
#include "foundation/KLTLogging.h"

// The program's information property list (cmake/KlInfoPlist.cmake).
extern "C" const char kl_info_plist[];

int main(int argc, char** argv) {
    // KL_LOG_STDERR lets a hand run or a test watch the log without the system log.
    kl::setLogSink(std::getenv("KL_LOG_STDERR") ? kl::LogSink::StandardError : kl::LogSink::Syslog);
    // The embedded list is what the control app reads from this program's file.
    kl::PWDaemonBuildInfo build = kl::buildInfoFromInfoPlist(
        kl_info_plist, {KL_DAEMON_VERSION, KL_DAEMON_REVISION, double(KL_DAEMON_BUILD_DATE)});
    return kl::runDaemon(argc, argv, build);
}
