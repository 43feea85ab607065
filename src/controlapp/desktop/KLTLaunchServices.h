// Login items as XDG autostart entries. The session list is the user's
// $XDG_CONFIG_HOME/autostart (also for root: a login item belongs to a login session), the global
// list /etc/xdg/autostart. Each item is one .desktop file named after an identifier and a hash of
// the program's path; an item's URL is its Exec program. Global changes need root: as root they
// are written directly, otherwise through the root helper.
//
// Main thread only; no state.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kl {

// NO when either is empty; YES when equal; when both are file URLs or absolute paths, whether the
// paths are equal once "." / ".." components and trailing slashes are gone.
bool ProbableFileURLsAreEqual(const std::string& a, const std::string& b);

class KLTLaunchServices {
public:
    static std::filesystem::path sessionListFolder();
    static std::filesystem::path globalListFolder();
    // The file an item of url lives in within folder.
    static std::filesystem::path entryFileName(const std::string& url, const std::string& identifier);

    static void addAppAsLoginItem(const std::string& url) { addAppAsLoginItem(url, false); }
    // identifier names the entry's file; empty: the program's file name.
    static void addAppAsLoginItem(const std::string& url, bool global, const std::string& identifier = {});
    static void deleteAppFromLoginItem(const std::string& url) { deleteAppFromLoginItem(url, false); }
    static void deleteAppFromLoginItem(const std::string& url, bool global);
    static bool appExistsInLoginItems(const std::string& url) { return appExistsInLoginItems(url, false); }
    static bool appExistsInLoginItems(const std::string& url, bool global);
    // URL -> "YES" (global) or "NO" (session) for every item whose URL contains text; nullopt when
    // the list cannot be read.
    static std::optional<std::map<std::string, std::string>> applicationURLsForUTI(const std::string& text,
                                                                                 bool global);
    static bool utiFoundInURL(const std::string& text, const std::string& url);

    // How a user who is not root changes the global list: runs the root helper with these verbs
    // ("add-login-item" / "remove-login-item" and the program); true when it succeeded. Default: the
    // bundle's root helper through pkexec.
    static void setGlobalChanger(std::function<bool(const std::vector<std::string>&)> changer);

    // The helper's side of the global list: writes or removes the entry directly in folder.
    static bool writeEntry(const std::filesystem::path& folder, const std::string& url, const std::string& identifier);
    static bool removeEntries(const std::filesystem::path& folder, const std::string& url);
    // The Exec program of every entry in folder (entry file -> URL); nullopt when unreadable.
    static std::optional<std::map<std::filesystem::path, std::string>> listEntries(const std::filesystem::path& folder);
};

}  // namespace kl
