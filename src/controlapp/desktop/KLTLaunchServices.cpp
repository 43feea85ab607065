#include "controlapp/desktop/KLTLaunchServices.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "controlapp/desktop/DesktopEntryExec.h"
#include "foundation/KLTLogging.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace kl {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxEntrySize = 64 * 1024;

std::optional<std::string> filePath(const std::string& url) {
    static constexpr std::string_view kScheme = "file://";
    if (url.rfind(kScheme, 0) == 0) {
        std::string rest = url.substr(kScheme.size());
        if (rest.rfind("localhost/", 0) == 0) rest.erase(0, 9);
        if (rest.empty() || rest[0] != '/') return std::nullopt;
        return rest;
    }
    if (!url.empty() && url[0] == '/') return url;
    return std::nullopt;
}

// Removes "." and ".." and repeated or trailing slashes, without touching the file system.
std::string standardise(const std::string& path) {
    std::string normal = fs::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

std::string programOf(const std::string& url) {
    auto path = filePath(url);
    return path ? standardise(*path) : url;
}

std::optional<std::string> execProgram(const fs::path& entry) {
    auto text = readFile(entry, kMaxEntrySize);
    if (!text.ok()) return std::nullopt;
    std::istringstream lines(*text);
    std::string line;
    bool inMainGroup = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        size_t eq = line.find('=');
        if (!inMainGroup || eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        if (key != "Exec") continue;
        size_t start = line.find_first_not_of(' ', eq + 1);
        auto args = parseDesktopExec(start == std::string::npos ? "" : line.substr(start));
        if (!args || args->empty()) return std::nullopt;
        return args->front();
    }
    return std::nullopt;
}

bool runAsRoot() { return ::geteuid() == 0; }

// Global changes by a user who is not root go through the root helper; without one they fail.
// Default: pkexec of the helper in the running program's bundle (<bundle>/bin/<program>).
std::function<bool(const std::vector<std::string>&)>& globalChanger() {
    static std::function<bool(const std::vector<std::string>&)> changer = [](const std::vector<std::string>& args) {
        std::error_code error;
        fs::path bundle = fs::read_symlink("/proc/self/exe", error).parent_path().parent_path();
        std::vector<std::string> argv = {"pkexec", (bundle / "libexec/portweaver-root-helper").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        int status = runProgram(argv);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    return changer;
}

}  // namespace

bool ProbableFileURLsAreEqual(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    if (a == b) return true;
    auto pa = filePath(a);
    auto pb = filePath(b);
    if (!pa || !pb) return false;
    return standardise(*pa) == standardise(*pb);
}

fs::path KLTLaunchServices::sessionListFolder() {
    // The user's own config folder even as root, where paths::configHome() means /var/lib.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return fs::path(xdg) / "autostart";
    const char* home = std::getenv("HOME");
    return fs::path(home && home[0] == '/' ? home : "/") / ".config/autostart";
}

fs::path KLTLaunchServices::globalListFolder() { return paths::system("/etc/xdg/autostart"); }

fs::path KLTLaunchServices::entryFileName(const std::string& url, const std::string& identifier) {
    const std::string program = programOf(url);
    std::string name = identifier.empty() ? fs::path(program).filename().string() : identifier;
    for (char& c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
    // FNV-1a of the program's path tells apart two copies of the same program.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : program) hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return name + "-" + hex + ".desktop";
}

std::optional<std::map<fs::path, std::string>> KLTLaunchServices::listEntries(const fs::path& folder) {
    std::error_code error;
    std::map<fs::path, std::string> entries;
    if (!fs::exists(folder, error)) return entries;  // no folder yet: an empty list
    fs::directory_iterator it(folder, error);
    if (error) return std::nullopt;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) return std::nullopt;
        if (it->path().extension() != ".desktop") continue;
        if (auto program = execProgram(it->path())) entries.emplace(it->path(), *program);
    }
    return entries;
}

bool KLTLaunchServices::writeEntry(const fs::path& folder, const std::string& url, const std::string& identifier) {
    const std::string program = programOf(url);
    auto exec = quoteDesktopExec({program});
    if (!exec) return false;
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=" + escapeDesktopString(fs::path(program).filename().string()) + "\n"
                       "Exec=" + *exec + "\n"
                       "X-GNOME-Autostart-enabled=true\n";
    return writeFileAtomically(folder / entryFileName(url, identifier), text, 0644, 0755).ok();
}

bool KLTLaunchServices::removeEntries(const fs::path& folder, const std::string& url) {
    auto entries = listEntries(folder);
    if (!entries) return false;
    bool removedAll = true;
    for (const auto& [file, program] : *entries) {
        if (!ProbableFileURLsAreEqual(program, programOf(url))) continue;
        std::error_code error;
        if (!fs::remove(file, error)) removedAll = false;
    }
    return removedAll;
}

void KLTLaunchServices::addAppAsLoginItem(const std::string& url, bool global, const std::string& identifier) {
    if (appExistsInLoginItems(url, global)) {
        KLLog(kKLTLoggingLevelInfo, "Already in login items");
        return;
    }
    bool added;
    if (!global) {
        added = writeEntry(sessionListFolder(), url, identifier);
    } else if (runAsRoot()) {
        added = writeEntry(globalListFolder(), url, identifier);
    } else {
        auto& changer = globalChanger();
        added = changer && changer({"add-login-item", programOf(url)});
    }
    if (added) {
        KLLog(kKLTLoggingLevelInfo, "Added LoginItem.");
    } else {
        KLLog(kKLTLoggingLevelInfo, "Could not insert LoginItems item URL.");
    }
}

void KLTLaunchServices::deleteAppFromLoginItem(const std::string& url, bool global) {
    if (!global) {
        removeEntries(sessionListFolder(), url);
    } else if (runAsRoot()) {
        removeEntries(globalListFolder(), url);
    } else if (auto& changer = globalChanger(); changer && appExistsInLoginItems(url, true)) {
        changer({"remove-login-item", programOf(url)});
    }
}

bool KLTLaunchServices::appExistsInLoginItems(const std::string& url, bool global) {
    auto entries = listEntries(global ? globalListFolder() : sessionListFolder());
    if (!entries) return false;
    for (const auto& [file, program] : *entries)
        if (ProbableFileURLsAreEqual(program, programOf(url))) return true;
    return false;
}

std::optional<std::map<std::string, std::string>> KLTLaunchServices::applicationURLsForUTI(const std::string& text,
                                                                                       bool global) {
    auto entries = listEntries(global ? globalListFolder() : sessionListFolder());
    if (!entries) return std::nullopt;
    std::map<std::string, std::string> found;
    for (const auto& [file, program] : *entries)
        if (utiFoundInURL(text, program)) found[program] = global ? "YES" : "NO";
    return found;
}

bool KLTLaunchServices::utiFoundInURL(const std::string& text, const std::string& url) {
    return !text.empty() && !url.empty() && url.find(text) != std::string::npos;
}

void KLTLaunchServices::setGlobalChanger(std::function<bool(const std::vector<std::string>&)> changer) {
    globalChanger() = std::move(changer);
}

}  // namespace kl
