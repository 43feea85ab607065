#include "controlapp/desktop/PFMoveApplication.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <cstdlib>

#include "controlapp/KLTRelaunch.h"
#include "controlapp/desktop/FreedesktopTrash.h"
#include "foundation/KLTLogging.h"
#include "platform/Preferences.h"
#include "platform/Process.h"

extern char** environ;

namespace kl {

namespace fs = std::filesystem;

namespace {

// pkexec's statuses for a refused or dismissed authentication.
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecDismissed = 127;

fs::path homeFolder() {
    const char* home = std::getenv("HOME");
    return fs::path(home && home[0] == '/' ? home : "/");
}

bool startsWith(const fs::path& path, const fs::path& folder) {
    if (folder.empty()) return false;
    auto p = path.lexically_normal();
    auto f = folder.lexically_normal();
    auto mismatch = std::mismatch(f.begin(), f.end(), p.begin(), p.end());
    return mismatch.first == f.end() || (std::next(mismatch.first) == f.end() && mismatch.first->empty());
}

bool isWritable(const fs::path& path) { return ::access(path.c_str(), W_OK) == 0; }

void spawnDetached(const fs::path& program) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::string path = program.string();
    char* args[] = {path.data(), nullptr};
    pid_t pid = -1;
    ::posix_spawn(&pid, path.c_str(), nullptr, &attributes, args, environ);
    posix_spawnattr_destroy(&attributes);
}

PFMoveApplication::AlertAnswer askWithMessageBox(const std::string& message, const std::string& informative) {
    QMessageBox alert(QMessageBox::Question, QString::fromStdString(message), QString::fromStdString(message));
    alert.setInformativeText(QString::fromStdString(informative));
    QPushButton* move = alert.addButton(QObject::tr("Move to Applications Folder"), QMessageBox::AcceptRole);
    QPushButton* stay = alert.addButton(QObject::tr("Do Not Move"), QMessageBox::RejectRole);
    alert.setEscapeButton(stay);
    // Named for accessibility tools (and the UI probe), as the other views' controls are.
    move->setAccessibleName(QStringLiteral("moveToApplicationsButton"));
    stay->setAccessibleName(QStringLiteral("doNotMoveButton"));
    auto* suppress = new QCheckBox(QObject::tr("Do not ask again"));
    suppress->setAccessibleName(QStringLiteral("moveSuppressCheckBox"));
    alert.setCheckBox(suppress);
    alert.exec();
    return {alert.clickedButton() == move, suppress->isChecked()};
}

void failWithMessageBox(const std::string& message) {
    QMessageBox alert(QMessageBox::Warning, QString::fromStdString(message), QString::fromStdString(message));
    alert.exec();
}

}  // namespace

PFMoveApplication::PFMoveApplication(fs::path bundle, std::string preferencesDomain)
    : homeApplications(homeFolder() / "Applications"), bundle_(std::move(bundle)),
      preferencesDomain_(std::move(preferencesDomain)) {
    alerts.offer = askWithMessageBox;
    alerts.failure = failWithMessageBox;
    actions.run = runProgram;
    actions.relaunch = [](const fs::path& destination) { startRelaunchTool(destination, ::getpid()); };
    actions.launch = [](const fs::path& destination) { spawnDetached(destination / "bin/portweaver"); };
    actions.exitProcess = [](int status) { std::exit(status); };
}

bool PFMoveApplication::isInApplicationsFolder(const fs::path& path) const {
    for (const auto& folder : {destination.parent_path(), homeApplications, fs::path("/usr")})
        if (startsWith(path, folder)) return true;
    for (const auto& component : path)
        if (component == "Applications") return true;
    return false;
}

bool PFMoveApplication::isOnReadOnlyMount(const fs::path& path) {
    struct statvfs status {};
    return ::statvfs(path.c_str(), &status) == 0 && (status.f_flag & ST_RDONLY);
}

bool PFMoveApplication::copyRunsFrom(const fs::path& bundle) {
    std::error_code error;
    const std::string prefix = bundle.lexically_normal().string() + "/";
    for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (std::atoi(name.c_str()) == ::getpid()) continue;
        std::error_code linkError;
        fs::path program = fs::read_symlink(it->path() / "exe", linkError);
        if (!linkError && program.string().rfind(prefix, 0) == 0) return true;
    }
    return false;
}

void PFMoveApplication::moveToApplicationsFolderIfNecessary() {
    Preferences preferences(preferencesDomain_);
    if (preferences.boolean(kSuppressKey).value_or(false)) return;
    const fs::path source = bundle_.lexically_normal();
    if (isInApplicationsFolder(source)) return;

    const bool readOnly = isOnReadOnlyMount(source);
    if (!readOnly && !(isWritable(source) && isWritable(source.parent_path()))) {
        KLLog(kKLTLoggingLevelInfo, "INFO -- No access to delete the app. Not offering to move it.");
        return;
    }
    const bool needsAuthorization = !isWritable(destination.parent_path());

    std::string informative = "I can move myself to the Applications folder if you'd like.";
    if (needsAuthorization) {
        informative += " Note that this will require an administrator password.";
    } else if (startsWith(source, homeFolder() / "Downloads") || source.parent_path().filename() == "Downloads") {
        informative += " This will keep your Downloads folder uncluttered.";
    }
    AlertAnswer answer = alerts.offer("Move to Applications folder?", informative);
    if (!answer.move) {
        if (auto d = delegate.lock()) d->userChoseToMoveApplication(false);
        if (answer.suppress) {
            preferences.setValue(kSuppressKey, Value(true));
            preferences.synchronize();
        }
        return;
    }
    KLLog(kKLTLoggingLevelInfo, "INFO -- Moving myself to the Applications folder");
    if (auto d = delegate.lock()) d->userChoseToMoveApplication(true);

    if (needsAuthorization) {
        if (!copyWithAuthorization(source)) return;
    } else {
        if (fs::exists(fs::symlink_status(destination)) && copyRunsFrom(destination)) {
            KLLog(kKLTLoggingLevelInfo, "INFO -- Switching to an already running version");
            actions.launch(destination);
            actions.exitProcess(0);
            return;
        }
        if (!copyWithoutAuthorization(source)) return;
    }
    if (!readOnly && !moveToTrash(source))
        KLLog(kKLTLoggingLevelInfo, "WARNING -- Could not delete application after moving it to Applications folder");
    actions.relaunch(destination);
    actions.exitProcess(0);
}

bool PFMoveApplication::copyWithAuthorization(const fs::path& source) {
    // The helper replaces only an older copy of the app; the path goes as one argument.
    std::vector<std::string> argv;
    if (::geteuid() != 0) argv.push_back("pkexec");
    argv.insert(argv.end(), {(source / "libexec/portweaver-root-helper").string(), "move-bundle", source.string()});
    int status = actions.run(argv);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (WIFEXITED(status) && (WEXITSTATUS(status) == kPkexecNotAuthorized || WEXITSTATUS(status) == kPkexecDismissed)) {
        KLLog(kKLTLoggingLevelInfo, "INFO -- Not moving because user canceled authorization");
        return false;
    }
    KLLog(kKLTLoggingLevelError, "ERROR -- Could not copy myself to /Applications with authorization");
    alerts.failure("Could not move to Applications folder");
    return false;
}

bool PFMoveApplication::copyWithoutAuthorization(const fs::path& source) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(destination, error)) && !moveToTrash(destination)) {
        alerts.failure("Could not move to Applications folder");
        return false;
    }
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
        KLLog(kKLTLoggingLevelError, "ERROR -- Could not copy '%s' to '%s' (%s)", source.c_str(), destination.c_str(),
              error.message().c_str());
        KLLog(kKLTLoggingLevelError, "ERROR -- Could not copy myself to %s", destination.c_str());
        std::error_code ignored;
        fs::remove_all(destination, ignored);
        alerts.failure("Could not move to Applications folder");
        return false;
    }
    return true;
}

}  // namespace kl
