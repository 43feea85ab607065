// KLTButler: the system's folders under the user's application-support folder (the XDG data home,
// /var/lib for the privileged daemon) and keyed archives kept there. An archive is a binary
// property list of a kl::Value, written atomically so a reader never sees half a file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace kl {

class KLTButler {
public:
    static std::optional<std::filesystem::path> applicationSupportDirectory();
    // <support>/Kelvaro
    static std::optional<std::filesystem::path> kelvaroSupportDirectory();
    // <support>/Kelvaro/Glass View
    static std::optional<std::filesystem::path> glassViewSupportDirectory();
    // <support>/Kelvaro/<the program's bundle identifier>; nothing while the program has not named
    // itself with setMainBundleIdentifier.
    static std::optional<std::filesystem::path> currentBundleSupportDirectory();

    // Each program names itself once at start ("com.kelvaro.portweaver.daemon", ...).
    static void setMainBundleIdentifier(std::string identifier);
    static std::optional<std::string> mainBundleIdentifier();

    // Creates the folder and its missing parents with permissions 0755 whatever the umask; true
    // when it exists as a folder afterwards.
    static bool createDirectoryAtPath(const std::filesystem::path& path);
    // Creates the parent folder, then writes the archive; logs and returns false on failure.
    static bool archiveObject(const Value& object, const std::filesystem::path& path);
    // The archived object; nothing for a missing or unreadable file, and nothing with the line
    // "Error reading archive: <path>" for a file that is not an archive of ours (garbage, cut
    // short, or another program's property list).
    static std::optional<Value> unarchiveFileWithPath(const std::filesystem::path& path);
};

}  // namespace kl
