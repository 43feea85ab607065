#include "daemon/PWControlDispatcher.h"

#include <string>

#include "daemon/KLTDaemonManager.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"

namespace kl {

void dispatchControlRequest(klipc_object_t request, klipc_connection_t sender) {
    // A missing or wrongly typed "command" reads as 0.
    uint64_t command = klipc_dictionary_get_uint64(request, kPWKeyCommand);
    const PWControlCommandRow& row = controlCommandRow(command);
    if (!row.dispatchLog.empty()) KLLog(kKLTLoggingLevelDebug, "%s", std::string(row.dispatchLog).c_str());

    auto manager = [] { return KLTDaemonManager::sharedManager(); };
    switch (command) {
        case ePWControlAppToDaemonCommandCheckIn: manager()->controlAppCheckInWithDictionary(request); break;
        case ePWControlAppToDaemonCommandUninstall: manager()->uninstall(request); break;
        case ePWControlAppToDaemonCommandSignIn: manager()->signIn(request, false); break;
        case ePWControlAppToDaemonCommandSignOut: manager()->signOut(request); break;
        case ePWControlAppToDaemonCommandPrepareForUpgrade: manager()->prepareForUpgrade(request); break;
        case ePWControlAppToDaemonCommandCreateAccount: manager()->signIn(request, true); break;
        case ePWControlAppToDaemonCommandAskOtherControlAppsToQuit:
            manager()->askOtherControlAppsToQuit(request, sender);
            break;
        case ePWControlAppToDaemonCommandAskOtherControlAppsToRestart:
            manager()->askOtherControlAppsToRestart(request, sender);
            break;
        case ePWControlAppToDaemonCommandSimulateConnectionRequest: manager()->simulateConnectionRequest(request); break;
        case ePWControlAppToDaemonCommandSignInState: manager()->signInState(request); break;
        case ePWControlAppToDaemonCommandBeginReportingHosts: manager()->beginReportingHosts(request); break;
        case ePWControlAppToDaemonCommandReportHosts: manager()->reportHosts(request); break;
        case ePWControlAppToDaemonCommandEndReportingHosts: manager()->endReportingHosts(request); break;
        case ePWControlAppToDaemonCommandDeleteHost: manager()->deleteHost(request); break;
        case ePWControlAppToDaemonCommandReportEmailAddress: manager()->reportEmailAddress(request); break;
        case ePWControlAppToDaemonCommandStartFollowingServiceUpdates: manager()->listenForServiceUpdates(); break;
        case ePWControlAppToDaemonCommandStopFollowingServiceUpdates: manager()->ignoreServiceUpdates(); break;
        case ePWControlAppToDaemonCommandRequestURLforService: manager()->URLforService(request); break;
        case ePWControlAppToDaemonCommandConnectWithUUID: manager()->connectWithUUID(request); break;
        case ePWControlAppToDaemonCommandDisconnectWithUUID: manager()->disconnectWithUUID(request); break;
        case ePWControlAppToDaemonCommandSetHostUpdateState: manager()->shouldUpdateHosts(request); break;
        case ePWControlAppToDaemonCommandRequestHostUpdate: manager()->requestHostUpdate(request); break;
        default: break;  // logged above from the table; never answered
    }
}

}  // namespace kl
