#include "controlapp/ui/KLTViewManager.h"

#include <QGuiApplication>
#include <QLayout>
#include <QProcess>
#include <QScreen>
#include <QSystemTrayIcon>

#include "controlapp/ui/KLTImageNamed.h"
#include "controlapp/ui/KLTMenuletPlacement.h"
#include "controlapp/ui/KLTMenuletWindow.h"
#include "controlapp/ui/KLTMenuletWindowController.h"
#include "controlapp/ui/KLTPlaceholderViewController.h"
#include "controlapp/ui/KLTSettingsWindowController.h"
#include "controlapp/ui/KLTPopover.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"

namespace kl {

const char* KLTStatusItemImageName(KLTStatusItemState state) {
    switch (state) {
    case 1: return "statusmenu-connected";
    case 2: return "statusmenu-disabled";
    case 3: return "statusmenu-error";
    default: return "statusmenu-icon";
    }
}

namespace {

std::shared_ptr<KLTViewManager>& instanceHolder() {
    // Never destroyed: its widgets must not outlive the application object at exit.
    static auto* holder = new std::shared_ptr<KLTViewManager>;
    return *holder;
}

// Until the app delegate links in, the manager is signed out and asks nothing.
class NoAppLink final : public KLTViewManagerAppLink {
public:
    uint32_t registrarState() const override { return 0; }
    bool updateIsAvailable() const override { return false; }
    void shouldRequestHostUpdates(bool) override {}
    void requestHostUpdateFromPortweaver() override {}
    void connectWithUUID(const std::string&) override {}
    void disconnectWithUUID(const std::string&) override {}
    void URLForUUID(const std::string&, const std::string&, const std::string&,
                    std::function<void(std::string)>) override {}
    void deleteHostWithID(const std::string&) override {}
    void signoutRequest() override {}
    void checkForUpdates() override {}
};

}  // namespace

KLTViewManager& KLTViewManager::sharedInstance() {
    auto& holder = instanceHolder();
    if (!holder) holder.reset(new KLTViewManager);
    return *holder;
}

KLTViewManager::KLTViewManager() : link_(std::make_shared<NoAppLink>()) {
    launcher_ = [](const std::vector<std::string>& argv) {
        QStringList arguments;
        for (size_t i = 1; i < argv.size(); ++i) arguments << QString::fromStdString(argv[i]);
        if (!QProcess::startDetached(QString::fromStdString(argv[0]), arguments))
            KLLog(kKLTLoggingLevelError, "Could not start %s", argv[0].c_str());
    };
}

KLTViewManager::~KLTViewManager() = default;

void KLTViewManager::setViewControllerMakers(ViewControllerMakers makers) {
    makers_ = std::move(makers);
    signIn_.reset();
    createAccount_.reset();
    accountDetails_.reset();
}

std::shared_ptr<KLTViewController> KLTViewManager::make(
    const std::function<std::shared_ptr<KLTViewController>()>& maker, const char* name, const char* title) {
    if (maker) return maker();
    return std::make_shared<KLTPlaceholderViewController>(name, title);
}

void KLTViewManager::launch(const std::vector<std::string>& argv) {
    if (!argv.empty() && launcher_) launcher_(argv);
}

KLTMenuletWindowController& KLTViewManager::menuletWindowController() {
    if (!menuletWindowController_) {
        menuletWindowController_ = std::make_unique<KLTMenuletWindowController>();
        auto* window = menuletWindowController_->window();
        menuletWindowController_->statusBarView()->setDelegate(
            std::static_pointer_cast<KLTStatusBarViewProtocol>(instanceHolder()));
        window->didBecomeMain.connect([this] { updateUIState(); });
        // Closing the window (the plain window's close button) hides it like a second click.
        window->willClose.connect([this] {
            if (!menuletDisplayed_) return;
            menuletDisplayed_ = false;
            link_->shouldRequestHostUpdates(false);
        });
    }
    return *menuletWindowController_;
}

void KLTViewManager::initializeUserInterface() {
    initializeStatusItem();
    auto& controller = menuletWindowController();
    controller.window()->setPlainWindow(statusItem_ == nullptr);
    controller.window()->close();
    menuletDisplayed_ = false;
    chooseSignInView();
    // Without a tray nothing could open the window later: it opens now, as a plain window.
    if (!statusItem_) showMenuletWindowWithAnchor(std::nullopt);
    if (!observingApplicationState_) {
        observingApplicationState_ = true;
        QObject::connect(qApp, &QGuiApplication::applicationStateChanged, controller.window(),
                         [this](Qt::ApplicationState state) {
                             if (state != Qt::ApplicationActive) applicationWillResignActive();
                         });
    }
}

void KLTViewManager::initializeStatusItem() {
    if (!statusItem_ && QSystemTrayIcon::isSystemTrayAvailable()) {
        // Not the application's child: the application would delete it after its platform
        // integration has gone, which crashes the app at every exit. It lives as long as the process.
        statusItem_ = new QSystemTrayIcon;
        statusItem_->setObjectName(QStringLiteral("statusItem"));
        statusItem_->setToolTip(QStringLiteral("Port Weaver"));
        QObject::connect(statusItem_, &QSystemTrayIcon::activated, statusItem_,
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason != QSystemTrayIcon::Trigger) return;
                             const QRect geometry = statusItem_->geometry();
                             menuletClicked(geometry.isValid() && !geometry.isEmpty() ? std::optional(geometry)
                                                                                      : std::nullopt);
                         });
    }
    setStatusItemState(0);
    // Shown once it has its image: a tray icon without one is not shown.
    if (statusItem_ && !statusItem_->isVisible()) statusItem_->show();
}

void KLTViewManager::setStatusItemState(KLTStatusItemState state) {
    currentStatusItemState_ = state;
    changeStatusItemImage(KLTStatusItemImageName(state));
}

void KLTViewManager::changeStatusItemImage(const std::string& imageName) {
    statusItemImageName_ = imageName;
    const QPixmap image = KLTImageNamed(imageName);
    if (statusItem_) statusItem_->setIcon(QIcon(image));
    if (menuletWindowController_) menuletWindowController_->window()->setWindowIcon(QIcon(image));
}

void KLTViewManager::updateUIState() {
    mainLoop().post([] {
        auto& self = sharedInstance();
        self.updateStatusBarView();
        if (auto* minion = dynamic_cast<KLTViewManagerMinion*>(self.visibleViewController_.get()))
            minion->updateUIState();
    });
}

void KLTViewManager::updateStatusBarView() {
    KLTStatusBarView::removeAllStatusItems();
    if (!link_->updateIsAvailable()) return;
    // The link is the entry's target: its "update:" checks for updates.
    class UpdateTarget final : public KLTActionTarget {
    public:
        explicit UpdateTarget(std::weak_ptr<KLTViewManagerAppLink> link) : link_(std::move(link)) {}
        void performAction(const std::string& action) override {
            if (auto link = link_.lock(); link && action == "update:") link->checkForUpdates();
        }

    private:
        std::weak_ptr<KLTViewManagerAppLink> link_;
    };
    static std::shared_ptr<UpdateTarget> target;
    target = std::make_shared<UpdateTarget>(link_);
    KLTStatusBarView::addStatusItem(QObject::tr("There is a new update available").toStdString(), "warning-mini",
                                    target, "update:");
}

void KLTViewManager::chooseViewController(std::shared_ptr<KLTViewController> controller) {
    if (!controller) return;
    if (controller != visibleViewController_) {
        if (visibleViewController_) visibleViewController_->removeViewFromSuperview();
        QWidget* dynamicView = menuletWindowController().dynamicView();
        QWidget* view = controller->view();
        dynamicView->layout()->addWidget(view);
        view->show();
        dynamicView->update();
        visibleViewController_ = std::move(controller);
    }
    updateUIState();
}

void KLTViewManager::chooseSignInView() {
    if (!signIn_) signIn_ = make(makers_.signIn, "KLTSignInViewController", "Sign in");
    chooseViewController(signIn_);
}

void KLTViewManager::chooseCreateAccountView() {
    if (!createAccount_)
        createAccount_ = make(makers_.createAccount, "KLTCreateAccountViewController", "Create account");
    chooseViewController(createAccount_);
}

void KLTViewManager::chooseAccountDetails() {
    if (!accountDetails_)
        accountDetails_ = make(makers_.accountDetails, "KLTAccountDetailsViewController", "Account");
    chooseViewController(accountDetails_);
}

void KLTViewManager::chooseEmailVerificationView() {
    chooseViewController(make(makers_.emailVerification, "EmailVerificationSent", "Verification e-mail sent"));
}

void KLTViewManager::chooseSuccessLogin() {
    chooseViewController(make(makers_.successLogin, "SuccessLogin", "Signed in"));
}

void KLTViewManager::chooseStateAppropriateViewController() {
    switch (link_->registrarState()) {
    case 0: chooseSignInView(); break;
    case 1:
    case 2: chooseAccountDetails(); break;
    default: break;
    }
}

void KLTViewManager::statusItemPressed() {
    if (link_->registrarState() != 0) chooseAccountDetails();
    else chooseSignInView();
}

bool KLTViewManager::mainWindowVisible() const {
    return menuletWindowController_ && menuletWindowController_->window()->isVisible();
}

void KLTViewManager::applicationWillResignActive() {
    // The plain window stays: nothing else could bring it back.
    if (!menuletDisplayed_ || !menuletWindowController_ || menuletWindowController_->window()->isPlainWindow()) return;
    hideMenuletWindow();
    link_->shouldRequestHostUpdates(false);
}

void KLTViewManager::menuletClicked(const std::optional<QRect>& anchor) {
    if (menuletDisplayed_) {
        hideMenuletWindow();
        link_->shouldRequestHostUpdates(false);
    } else {
        showMenuletWindowWithAnchor(anchor);
        link_->requestHostUpdateFromPortweaver();
        link_->shouldRequestHostUpdates(true);
    }
}

void KLTViewManager::showMenuletWindowWithAnchor(const std::optional<QRect>& anchor) {
    if (menuletDisplayed_) return;
    auto* window = menuletWindowController().window();
    if (anchor) placeWindow(window, *anchor);
    window->show();
    window->raise();
    window->activateWindow();
    menuletDisplayed_ = window->isVisible();
}

void KLTViewManager::hideMenuletWindow() {
    // Cleared first, so that the close does not count as the user's own.
    menuletDisplayed_ = false;
    if (menuletWindowController_) menuletWindowController_->window()->close();
}

void KLTViewManager::placeWindow(QWidget* window, const QRect& anchor) {
    if (!window) return;
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) screen = window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // The frame counts: a plain window has one.
    window->move(KLTMenuletWindowOrigin(window->frameGeometry().size(), anchor, screen->geometry(),
                                        screen->availableGeometry()));
}

}  // namespace kl
