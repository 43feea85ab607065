#include "controlapp/ui/KLTAccountViewsLink.h"

#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/ui/KLTOutletName.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"

namespace kl {

namespace {

// The desktops' own accessibility settings, by the program that shows them.
void openDesktopAccessibilitySettings() {
    const std::pair<const char*, QStringList> programs[] = {
        {"gnome-control-center", {"universal-access"}},
        {"systemsettings", {"kcm_access"}},
    };
    for (const auto& [program, arguments] : programs) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(program));
        if (!path.isEmpty() && QProcess::startDetached(path, arguments)) return;
    }
    KLLog(kKLTLoggingLevelInfo, "No accessibility settings program found");
}

class AppDelegateAccountViewsLink final : public KLTAccountViewsLink {
public:
    explicit AppDelegateAccountViewsLink(std::weak_ptr<KLTAppDelegate> app) : app_(std::move(app)) {}

    void trySignIn(const std::string& email, const std::string& password,
                   std::function<void(uint32_t, std::optional<std::string>)> completion) override {
        auto app = app_.lock();
        // Without a daemon the sign-in would never be answered: it failed for an unknown reason.
        if (!app || !app->createDaemonConnection()) return completion(3, std::nullopt);
        app->trySignInWithEmail(email, password, std::move(completion));
    }
    void createAccount(const std::string& email, const std::string& password,
                       std::function<void(uint64_t, std::optional<AccountErrors>)> completion) override {
        auto app = app_.lock();
        if (!app || !app->createDaemonConnection()) return completion(3, std::nullopt);
        app->createAccountWithEmail(email, password, std::move(completion));
    }
    void savedEmailAddress(std::function<void(std::string)> completion) override {
        if (auto app = app_.lock()) app->savedEmailAddressWithCompletionBlock(std::move(completion));
    }
    void beginHostNotifications() override {
        if (auto app = app_.lock()) app->beginHostNotifications();
    }
    void endHostNotifications() override {
        if (auto app = app_.lock()) app->endHostNotifications();
    }
    void signOutWithAuthorization() override {
        auto app = app_.lock();
        if (!app) return;
        app->sendSimpleDaemonCommand(ePWControlAppToDaemonCommandSignOut, true);
        app->updateSignInState(0);
    }
    void deleteHostWithID(const std::string& hostID, std::function<void()> completion) override {
        auto app = app_.lock();
        if (!app || !app->hasDaemonConnection()) return completion();
        app->deleteHostWithID(hostID, [completion](bool, std::optional<Dictionary>) { completion(); });
    }
    void showAccessibilitySettings() override { showAccessbilityInSystemPreferences(); }
    void openURL(const std::string& url) override {
        if (url.empty() || url[0] == '-') return;
        QProcess::startDetached(QStringLiteral("xdg-open"), {QString::fromStdString(url)});
    }

private:
    std::weak_ptr<KLTAppDelegate> app_;
};

}  // namespace

void showAccessbilityInSystemPreferences() {
    QMessageBox alert(QMessageBox::Information, QObject::tr("Accessibility Permissions"),
                      QObject::tr("Accessibility Permissions"), QMessageBox::Ok);
    outlet(&alert, "accessibilityAlert");
    alert.setInformativeText(QObject::tr("To provide accessibility permission to Port Weaver, please unlock the "
                                         "Privacy pane in System Preferences, and click the checkbox next to "
                                         "\"Port Weaver\""));
    alert.exec();
    openDesktopAccessibilitySettings();
}

std::shared_ptr<KLTAccountViewsLink> makeAccountViewsLink(std::weak_ptr<KLTAppDelegate> app) {
    return std::make_shared<AppDelegateAccountViewsLink>(std::move(app));
}

}  // namespace kl
