// The helper's desktop verbs: global login items, the app's Debian package and moving a bundle
// to /opt. Like the other verbs they take argv only and refuse what is not the control app's.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include "RootHelper.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/ValuePlist.h"

namespace kl::roothelper {

namespace fs = std::filesystem;

namespace {

void say(const std::string& text) { std::fprintf(stderr, "portweaver-root-helper: %s\n", text.c_str()); }

bool isRegularNotLink(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool ranCleanly(const std::vector<std::string>& argv) {
    int status = runProgram(argv);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool isControlAppBundle(const fs::path& bundle) {
    struct stat status {};
    if (::lstat(bundle.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    if (!isRegularNotLink(bundle / "Info.plist")) return false;
    auto text = readFile(bundle / "Info.plist", 64 * 1024);
    auto info = text.ok() ? valueFromPlist(*text) : Result<Value>(text.error());
    const Dictionary* dictionary = info.ok() ? info->asDictionary() : nullptr;
    const Value* identifier = dictionary ? dictionary->find("CFBundleIdentifier") : nullptr;
    return identifier && identifier->asString() && *identifier->asString() == kBundleIdentifier;
}

int addLoginItem(const fs::path& program) {
    // Only programs of a control-app bundle (bin/ or libexec/ of it) start in every session.
    if (!program.is_absolute() || !isRegularNotLink(program) ||
        !isControlAppBundle(program.lexically_normal().parent_path().parent_path())) {
        say("refused " + program.string() + ": not a program of the control app's bundle");
        return kExitRefusedSource;
    }
    if (!KLTLaunchServices::writeEntry(KLTLaunchServices::globalListFolder(), program, {})) {
        say("cannot write the autostart entry");
        return kExitFailed;
    }
    return kExitOK;
}

int removeLoginItem(const fs::path& program) {
    return KLTLaunchServices::removeEntries(KLTLaunchServices::globalListFolder(), program) ? kExitOK : kExitFailed;
}

int installPackage(const fs::path& package) {
    if (!package.is_absolute() || package.extension() != ".deb" || !isRegularNotLink(package)) {
        say("refused " + package.string() + ": not a package file");
        return kExitRefusedSource;
    }
    return ranCleanly({"/usr/bin/dpkg", "-i", package.string()}) ? kExitOK : kExitFailed;
}

int moveBundle(const fs::path& source) {
    const fs::path destination = paths::system(kMovedBundleFolder);
    if (!source.is_absolute() || !isControlAppBundle(source)) {
        say("refused " + source.string() + ": not the control app's bundle");
        return kExitRefusedSource;
    }
    std::error_code error;
    if (fs::exists(fs::symlink_status(destination, error))) {
        // Only an older copy of the app is replaced, never whatever else sits there.
        if (!isControlAppBundle(destination)) {
            say("refused: " + destination.string() + " is not the control app's bundle");
            return kExitRefusedSource;
        }
        fs::remove_all(destination, error);
        if (error) return kExitFailed;
    }
    fs::create_directories(destination.parent_path(), error);
    // Links inside the bundle stay links; the copy belongs to root.
    if (!ranCleanly({"/bin/cp", "-R", "--no-dereference", "--preserve=mode,timestamps", source.string(),
                     destination.string()})) {
        say("cannot copy " + source.string());
        return kExitFailed;
    }
    return kExitOK;
}

}  // namespace kl::roothelper
