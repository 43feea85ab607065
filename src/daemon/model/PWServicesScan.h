// The scan of the running processes for the system's service programs.
//
// Where a service program says what it offers: an information list (a property list, XML or
// binary) installed beside the program under the program's file name plus ".plist", for example
// libexec/portweaver/com.kelvaro.portweaver.service.deskgate.plist. It holds the keys
// "PortweaverServices" (DNS-SD types separated by ","), "PWSRequiresUniversalAccess" (boolean),
// "CFBundleShortVersionString" and "CFBundleVersion".
#pragma once

#include <filesystem>
#include <vector>

#include "daemon/model/PWRunningService.h"

namespace kl {

std::filesystem::path infoListPathForExecutable(const std::filesystem::path& executable);

// Reads every process under procRoot (the executable from <pid>/exe), keeps the service programs
// and appends the built-in services. Processes that vanish or cannot be read are skipped.
std::vector<PWRunningService> scanRunningServices(const std::filesystem::path& procRoot = "/proc");

// A service program's record from its executable path and its information list.
PWRunningService runningServiceForExecutable(const std::string& executable, uint64_t pid);

}  // namespace kl
