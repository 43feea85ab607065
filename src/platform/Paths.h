// Every file the system touches is named here, under one root that tests redirect to a temporary
// folder (environment variable KL_ROOT, or setRoot()). User folders follow the XDG variables and
// HOME; the privileged daemon (euid 0) keeps its state under /var/lib and /run instead.
#pragma once

#include <filesystem>
#include <string_view>

namespace kl::paths {

using std::filesystem::path;

// The prefix of every system path: KL_ROOT when set, else "/".
path root();
// Overrides the root for this process (tests); an empty path restores the environment's choice.
void setRoot(const path& newRoot);
// An absolute system path ("/var/lib/x") placed under the root.
path system(std::string_view absolutePath);

bool isPrivileged();
// Application data (support folders, archives): /var/lib as root, else $XDG_DATA_HOME or
// $HOME/.local/share.
path dataHome();
// Preferences: /var/lib as root, else $XDG_CONFIG_HOME or $HOME/.config.
path configHome();
// Per-session runtime files: /run as root, else $XDG_RUNTIME_DIR or /tmp/kl-runtime-<uid>.
path runtimeDir();
// System-wide runtime files shared by all users: /run.
path systemRunDir();

}  // namespace kl::paths
