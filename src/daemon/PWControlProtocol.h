// The control protocol between the daemon and the control apps: command numbers in both
// directions, their names, the keys, and for every request whether and with what it is answered.
// The dispatcher, the handlers, the control client and the tests all read this one table.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kl {

inline constexpr const char* kPWControlServiceName = "com.kelvaro.portweaver.controlapp";
inline constexpr const char* kPWDaemonJobLabel = "com.kelvaro.portweaver.daemon";

// Keys.
inline constexpr const char* kPWKeyCommand = "command";
inline constexpr const char* kPWKeyRegistrarState = "registrarState";
inline constexpr const char* kPWKeyTunnexConnectionStatus = "tunnexConnectionStatus";
inline constexpr const char* kPWKeyUUID = "uuid";

enum PWControlAppToDaemonCommand : uint64_t {
    ePWControlAppToDaemonCommandCheckIn = 1,
    ePWControlAppToDaemonCommandUninstall = 2,
    ePWControlAppToDaemonCommandAskUAsToQuit = 3,
    ePWControlAppToDaemonCommandAskUAsToUnload = 4,
    ePWControlAppToDaemonCommandSetSharingEnabled = 5,
    ePWControlAppToDaemonCommandSignIn = 6,
    ePWControlAppToDaemonCommandSignOut = 7,
    ePWControlAppToDaemonCommandPrepareForUpgrade = 8,
    ePWControlAppToDaemonCommandCreateAccount = 9,
    ePWControlAppToDaemonCommandDisconnect = 10,
    ePWControlAppToDaemonCommandAskOtherControlAppsToQuit = 11,
    ePWControlAppToDaemonCommandAskOtherControlAppsToRestart = 12,
    ePWControlAppToDaemonCommandSimulateConnectionRequest = 13,
    ePWControlAppToDaemonCommandSignInState = 14,
    ePWControlAppToDaemonCommandBeginReportingHosts = 15,
    ePWControlAppToDaemonCommandReportHosts = 16,
    ePWControlAppToDaemonCommandEndReportingHosts = 17,
    ePWControlAppToDaemonCommandDeleteHost = 18,
    ePWControlAppToDaemonCommandReportEmailAddress = 20,
    ePWControlAppToDaemonCommandStartFollowingServiceUpdates = 26,
    ePWControlAppToDaemonCommandStopFollowingServiceUpdates = 27,
    ePWControlAppToDaemonCommandRequestURLforService = 28,
    ePWControlAppToDaemonCommandConnectWithUUID = 29,
    ePWControlAppToDaemonCommandDisconnectWithUUID = 30,
    ePWControlAppToDaemonCommandSetHostUpdateState = 31,
    ePWControlAppToDaemonCommandRequestHostUpdate = 32,
};
inline constexpr uint64_t kPWHighestControlAppToDaemonCommand = 32;

enum PWDaemonToControlAppCommand : uint64_t {
    ePWDaemonToControlAppCommandConnectedChanged = 1,
    ePWDaemonToControlAppCommandSignedInChanged = 2,
    ePWDaemonToControlAppCommandSharingEnabledChanged = 3,
    ePWDaemonToControlAppCommandQuit = 4,
    ePWDaemonToControlAppCommandRestart = 5,
    ePWDaemonToControlAppCommandHostsChanged = 6,
    ePWDaemonToControlAppCommandHostDeleted = 7,
    ePWDaemonToControlAppCommandConnectionStatus = 10,
};

// How the daemon answers a request.
enum class PWReplyKind {
    None,         // never answered
    Always,       // answered whenever a reply can be made
    Conditional,  // answered only when its keys allow it (the row's note says when)
};

struct PWControlCommandRow {
    uint64_t number;
    std::string_view name;     // the constant's name, "" for numbers without one
    PWReplyKind reply;
    // The key of the row's dispatch log line at level 2, "" for none of its own.
    std::string_view dispatchLog;
    // Keys every reply carries, then keys only some replies carry.
    std::vector<std::string_view> replyKeys;
    std::vector<std::string_view> optionalReplyKeys;
};

// The row of a request number; every number has one (unserved numbers have an unanswered row).
const PWControlCommandRow& controlCommandRow(uint64_t number);
// The rows of 0 to one past the highest request, for tables and tests.
const std::vector<PWControlCommandRow>& controlCommandRows();

// The constant's name of a request or daemon message, "" when it has none; for log lines.
std::string_view controlAppToDaemonCommandName(uint64_t number);
std::string_view daemonToControlAppCommandName(uint64_t number);

}  // namespace kl
