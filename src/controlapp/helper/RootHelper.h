// The root helper's verbs. It runs as root (through pkexec or started by root), takes its whole
// input from argv, and runs other programs only by fixed argument lists, never through a shell.
//
//   install-daemon <bundle>   stops the running daemon, installs the bundle's daemon program and
//                             the systemd units, and starts the control socket
//   start-daemon              starts the installed daemon listening on its own (no systemd)
//   add-login-item <program>  a global autostart entry for a program of a control-app bundle
//   remove-login-item <program>  removes the global autostart entries of that program
//   install-package <file.deb>   dpkg -i of the app's package
//   remove-package            dpkg --remove of the app's package ("portweaver")
//   move-bundle <bundle>      copies a control-app bundle to /opt/portweaver (replacing only an
//                             older copy of the app)
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kl::roothelper {

inline constexpr const char* kBundleIdentifier = "com.kelvaro.portweaver.controlapp";

enum ExitStatus : int {
    kExitOK = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNotRoot = 3,
    kExitRefusedSource = 4,
};

// Refuses anything but a folder whose Info.plist (a regular file) names the control app; then the
// daemon at libexec/ must be a regular file, not a symbolic link. The daemon's path, or an error.
bool validDaemonSource(const std::filesystem::path& bundle, std::filesystem::path& daemon, std::string& why);
inline constexpr const char* kMovedBundleFolder = "/opt/portweaver";

// A folder (not a link) whose Info.plist (a regular file) names the control app.
bool isControlAppBundle(const std::filesystem::path& bundle);
int addLoginItem(const std::filesystem::path& program);
int removeLoginItem(const std::filesystem::path& program);
int installPackage(const std::filesystem::path& package);
inline constexpr const char* kPackageName = "portweaver";
int removePackage();
int moveBundle(const std::filesystem::path& source);
int installDaemon(const std::filesystem::path& bundle);
int startDaemon();
int run(const std::vector<std::string>& args);

}  // namespace kl::roothelper
