#include "foundation/ipc/IPCNameTables.h"

#include <array>

namespace {

template <size_t N>
const char* lookUp(const std::array<const char*, N>& names, uint64_t code) {
    return code < N && names[code] ? names[code] : "";
}

constexpr std::array<const char*, 5> kMessageTypes = {
    nullptr,
    "KLIPC_ERROR_CONNECTION_INTERRUPTED",
    "KLIPC_ERROR_CONNECTION_INVALID",
    "KLIPC_LISTENER_NEW_CONNECTION",
    "KLIPC_OK",
};

constexpr std::array<const char*, 19> kControlAppToDaemon = {
    nullptr,
    "ePWControlAppToDaemonCommandCheckIn",
    "ePWControlAppToDaemonCommandUninstall",
    "ePWControlAppToDaemonCommandAskUAsToQuit",
    "ePWControlAppToDaemonCommandAskUAsToUnload",
    "ePWControlAppToDaemonCommandSetSharingEnabled",
    "ePWControlAppToDaemonCommandSignIn",
    "ePWControlAppToDaemonCommandSignOut",
    "ePWControlAppToDaemonCommandPrepareForUpgrade",
    "ePWControlAppToDaemonCommandCreateAccount",
    "ePWControlAppToDaemonCommandDisconnect",
    "ePWControlAppToDaemonCommandAskOtherControlAppsToQuit",
    "ePWControlAppToDaemonCommandAskOtherControlAppsToRestart",
    "ePWControlAppToDaemonCommandSimulateConnectionRequest",
    "ePWControlAppToDaemonCommandSignInState",
    "ePWControlAppToDaemonCommandBeginReportingHosts",
    "ePWControlAppToDaemonCommandReportHosts",
    "ePWControlAppToDaemonCommandEndReportingHosts",
    "ePWControlAppToDaemonCommandDeleteHost",
};

constexpr std::array<const char*, 6> kDaemonToControlApp = {
    nullptr,
    "ePWDaemonToControlAppCommandConnectedChanged",
    "ePWDaemonToControlAppCommandSignedInChanged",
    "ePWDaemonToControlAppCommandSharingEnabledChanged",
    "ePWDaemonToControlAppCommandQuit",
    "ePWDaemonToControlAppCommandRestart",
};

}  // namespace

extern "C" {

const char* CFStringFromIPCMessageType(int32_t type) { return type < 0 ? "" : lookUp(kMessageTypes, uint64_t(type)); }
const char* CFStringFromControlAppToDaemonCommand(uint64_t command) { return lookUp(kControlAppToDaemon, command); }
const char* CFStringFromDaemonToControlAppCommand(uint64_t command) { return lookUp(kDaemonToControlApp, command); }

}  // extern "C"

namespace kl {

std::string NSString_IPC::stringWithIPCMessageType(int32_t type) { return CFStringFromIPCMessageType(type); }
std::string NSString_IPC::stringWithControlAppToDaemonCommand(uint64_t command) {
    return CFStringFromControlAppToDaemonCommand(command);
}
std::string NSString_IPC::stringWithDaemonToControlAppCommand(uint64_t command) {
    return CFStringFromDaemonToControlAppCommand(command);
}

}  // namespace kl
