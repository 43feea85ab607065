#include "daemon/PWControlProtocol.h"

namespace kl {

namespace {

constexpr std::string_view kNotHandled = "COMMAND: default, not handled";

std::vector<PWControlCommandRow> makeRows() {
    using R = PWReplyKind;
    std::vector<PWControlCommandRow> rows;
    for (uint64_t n = 0; n <= kPWHighestControlAppToDaemonCommand + 1; ++n)
        rows.push_back({n, "", R::None, kNotHandled, {}, {}});
    auto set = [&](uint64_t n, std::string_view name, R reply, std::string_view log,
                   std::vector<std::string_view> keys = {}, std::vector<std::string_view> optional = {}) {
        rows[n] = {n, name, reply, log, std::move(keys), std::move(optional)};
    };
    set(0, "", R::None, "COMMAND: 0, Couldn't read from dict; ignore");
    set(1, "ePWControlAppToDaemonCommandCheckIn", R::Always, "",
        {"sharingEnabled", "version", "revision", "buildDate", "tunnexVersion", "registrarState"});
    set(2, "ePWControlAppToDaemonCommandUninstall", R::Always, "", {"succeeded"});
    set(3, "ePWControlAppToDaemonCommandAskUAsToQuit", R::None, kNotHandled);
    set(4, "ePWControlAppToDaemonCommandAskUAsToUnload", R::None, kNotHandled);
    set(5, "ePWControlAppToDaemonCommandSetSharingEnabled", R::None,
        "COMMAND: ePWControlAppToDaemonCommandSetSharingEnabled, this isn't implemented, don't call this");
    set(6, "ePWControlAppToDaemonCommandSignIn", R::Always, "COMMAND: ePWControlAppToDaemonCommandSignIn",
        {"registrarSignInResult"}, {"registrarSignInError"});
    set(7, "ePWControlAppToDaemonCommandSignOut", R::None, "");
    set(8, "ePWControlAppToDaemonCommandPrepareForUpgrade", R::Always, "", {"succeeded"});
    set(9, "ePWControlAppToDaemonCommandCreateAccount", R::Always, "COMMAND: ePWControlAppToDaemonCommandCreateAccount",
        {"registrarSignInResult"}, {"registrarCreateAccountEmailErrors", "registrarCreateAccountPasswordErrors"});
    set(10, "ePWControlAppToDaemonCommandDisconnect", R::None, "COMMAND: ePWControlAppToDaemonCommandDisconnect");
    set(11, "ePWControlAppToDaemonCommandAskOtherControlAppsToQuit", R::None, "");
    set(12, "ePWControlAppToDaemonCommandAskOtherControlAppsToRestart", R::None, "");
    set(13, "ePWControlAppToDaemonCommandSimulateConnectionRequest", R::None, "");
    set(14, "ePWControlAppToDaemonCommandSignInState", R::Always, "", {"registrarState"});
    set(15, "ePWControlAppToDaemonCommandBeginReportingHosts", R::None, "");
    set(16, "ePWControlAppToDaemonCommandReportHosts", R::Always, "", {}, {"hosts_array"});
    set(17, "ePWControlAppToDaemonCommandEndReportingHosts", R::None, "");
    set(18, "ePWControlAppToDaemonCommandDeleteHost", R::Always, "",
        {"succeeded", "errorCode", "errorDescription", "errorFailureReason"});
    set(20, "ePWControlAppToDaemonCommandReportEmailAddress", R::Always, "", {"email"});
    for (uint64_t n = 22; n <= 25; ++n) set(n, "", R::None, "");
    set(26, "", R::None, "");
    set(27, "", R::None, "");
    set(28, "ePWControlAppToDaemonCommandRequestURLforService", R::Conditional,
        "ePWControlAppToDaemonCommandRequestURLforService received", {"serviceURLString"});
    set(29, "ePWControlAppToDaemonCommandConnectWithUUID", R::Conditional,
        "ePWControlAppToDaemonCommandConnectWithUUID received");
    set(30, "ePWControlAppToDaemonCommandDisconnectWithUUID", R::Conditional,
        "ePWControlAppToDaemonCommandDisconnectWithUUID received");
    set(31, "ePWControlAppToDaemonCommandSetHostUpdateState", R::Always,
        "ePWControlAppToDaemonCommandSetHostUpdateState received");
    set(32, "ePWControlAppToDaemonCommandRequestHostUpdate", R::Always,
        "ePWControlAppToDaemonCommandRequestHostUpdate received");
    return rows;
}

}  // namespace

const std::vector<PWControlCommandRow>& controlCommandRows() {
    static const std::vector<PWControlCommandRow> rows = makeRows();
    return rows;
}

const PWControlCommandRow& controlCommandRow(uint64_t number) {
    const auto& rows = controlCommandRows();
    // Every number above the highest request shares the last row ("not handled").
    return number < rows.size() ? rows[number] : rows.back();
}

std::string_view controlAppToDaemonCommandName(uint64_t number) {
    return number <= kPWHighestControlAppToDaemonCommand ? controlCommandRow(number).name : std::string_view{};
}

std::string_view daemonToControlAppCommandName(uint64_t number) {
    switch (number) {
        case ePWDaemonToControlAppCommandConnectedChanged: return "ePWDaemonToControlAppCommandConnectedChanged";
        case ePWDaemonToControlAppCommandSignedInChanged: return "ePWDaemonToControlAppCommandSignedInChanged";
        case ePWDaemonToControlAppCommandSharingEnabledChanged: return "ePWDaemonToControlAppCommandSharingEnabledChanged";
        case ePWDaemonToControlAppCommandQuit: return "ePWDaemonToControlAppCommandQuit";
        case ePWDaemonToControlAppCommandRestart: return "ePWDaemonToControlAppCommandRestart";
        case ePWDaemonToControlAppCommandHostsChanged: return "ePWDaemonToControlAppCommandHostsChanged";
        case ePWDaemonToControlAppCommandHostDeleted: return "ePWDaemonToControlAppCommandHostDeleted";
        case ePWDaemonToControlAppCommandConnectionStatus: return "ePWDaemonToControlAppCommandConnectionStatus";
        default: return {};
    }
}

}  // namespace kl
