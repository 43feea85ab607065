// Installing the bundle's daemon needs root: the root helper does it, run directly when the app
// is root and through pkexec otherwise (which asks for an administrator's credentials).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kl {

enum class KLTBlessResult {
    Installed,
    Failed,   // the helper ran and failed, or could not be started
    Refused,  // the credentials were refused or the dialog dismissed
};

inline constexpr const char* kRootHelperName = "portweaver-root-helper";

// The helper's argument list (argv[0] included) for installing bundlePath's daemon.
std::vector<std::string> rootHelperCommand(const std::filesystem::path& bundlePath, bool asRoot);
KLTBlessResult blessDaemonWithRootHelper(const std::string& bundlePath);

}  // namespace kl
