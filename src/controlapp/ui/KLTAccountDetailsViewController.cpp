#include "controlapp/ui/KLTAccountDetailsViewController.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <mutex>

#include "controlapp/ui/KLTAccountViewsLink.h"
#include "controlapp/ui/KLTImageNamed.h"
#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTSignInViewController.h"
#include "controlapp/ui/KLTSignOutWarningController.h"
#include "controlapp/ui/KLTViewManager.h"
#include "daemon/PWConstants.h"
#include "daemon/model/PWServicesManager.h"
#include "platform/Executors.h"
#include "platform/x11/AXAPIEnabled.h"

namespace kl {

namespace {

std::once_flag& hostNotificationsOnce() {
    static std::once_flag once;
    return once;
}

std::optional<std::string> stringWithHostIDObject(const Value* id) {
    if (!id) return std::nullopt;
    if (const std::string* text = id->asString()) return *text;
    if (auto i = id->asInt()) return std::to_string(*i);
    if (auto u = id->asUInt()) return std::to_string(*u);
    return std::nullopt;
}

}  // namespace

KLTAccountDetailsViewController::KLTAccountDetailsViewController(std::shared_ptr<KLTAccountViewsLink> link,
                                                                 std::shared_ptr<PWServicesManager> services)
    : KLTViewController("KLTAccountDetailsViewController"), link_(std::move(link)), services_(std::move(services)) {
    accessibilityEnabled = [] { return AXAPIEnabled(); };
}

KLTAccountDetailsViewController::~KLTAccountDetailsViewController() {
    if (services_ && hostsObservation_) services_->hostItemsDidChange.disconnect(*hostsObservation_);
}

QWidget* KLTAccountDetailsViewController::loadView() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    auto* top = new QHBoxLayout;
    username_ = outlet(new QPushButton, "usernameButton");
    username_->setFlat(true);
    accountDetails_ = outlet(new QPushButton(QObject::tr("Account Details")), "accountDetailsButton");
    top->addWidget(username_, 1);
    top->addWidget(accountDetails_);
    layout->addLayout(top);
    auto* warning = new QHBoxLayout;
    axImage_ = outlet(new QLabel, "axWarningImage");
    axImage_->setPixmap(KLTImageNamed("warning-mini"));
    axText_ = outlet(new QPushButton(QObject::tr("Enable access for assistive devices")), "axWarningTextButton");
    warning->addWidget(axImage_);
    warning->addWidget(axText_, 1);
    layout->addLayout(warning);
    outline_ = new KLTAccountOutlineView;
    layout->addWidget(outline_, 1);
    spinner_ = outlet(new QProgressBar, "busySpinner");
    spinner_->setRange(0, 1);
    spinner_->setTextVisible(false);
    spinner_->hide();
    layout->addWidget(spinner_);
    auto* bottom = new QHBoxLayout;
    help_ = outlet(new QPushButton(QObject::tr("Help")), "helpButton");
    signOut_ = outlet(new QPushButton(QObject::tr("Log Out")), "signOutButton");
    bottom->addWidget(help_);
    bottom->addStretch(1);
    bottom->addWidget(signOut_);
    layout->addLayout(bottom);
    QObject::connect(accountDetails_, &QPushButton::clicked, view, [this] { takeAccountDetailsButton(); });
    QObject::connect(signOut_, &QPushButton::clicked, view, [this] { takeSignOutButton(); });
    QObject::connect(help_, &QPushButton::clicked, view, [this] { takeHelpButton(); });
    QObject::connect(axText_, &QPushButton::clicked, view, [this] { takeAXWarningTextButton(); });

    updateUsernameButtonWithCurrentAddress();
    // The daemon reports hosts to this process from now on; only leaving the window stops it.
    std::call_once(hostNotificationsOnce(), [this] { link_->beginHostNotifications(); });
    if (services_) {
        QPointer<QWidget> alive(view);
        hostsObservation_ = services_->hostItemsDidChange.connect([this, alive] {
            // Any thread: the rebuild belongs to the main loop.
            mainLoop().post([this, alive] {
                if (alive) reloadHosts();
            });
        });
    }
    reloadHosts();
    showAccessibilityWarning(axImage_, axText_, accessibilityEnabled());
    return view;
}

void KLTAccountDetailsViewController::reloadHosts() {
    if (!outline_) return;
    std::vector<std::pair<KLTOutlineObject, std::vector<KLTOutlineObject>>> tree;
    for (const auto& host : services_ ? services_->hostItems() : std::vector<std::shared_ptr<KLTHostItem>>{}) {
        std::vector<KLTOutlineObject> children;
        for (const auto& nested : host->nestedSelves()) children.emplace_back(nested);
        tree.emplace_back(host, std::move(children));
    }
    outline_->setObjects(tree);
}

void KLTAccountDetailsViewController::updateUIState() {
    // Loading the view does the whole refresh.
    if (!isViewLoaded()) return (void)view();
    updateUsernameButtonWithCurrentAddress();
    reloadHosts();
    outline_->update();
}

void KLTAccountDetailsViewController::updateUsernameButtonWithCurrentAddress() {
    if (!username_) return (void)view();
    username_->setText({});
    QPointer<QPushButton> button(username_);
    link_->savedEmailAddress([button](std::string address) {
        if (button && !address.empty()) button->setText(QString::fromStdString(address));
    });
}

void KLTAccountDetailsViewController::windowDidBecomeKey() {
    view();
    showAccessibilityWarning(axImage_, axText_, accessibilityEnabled());
}

void KLTAccountDetailsViewController::viewControllerWasRemovedFromWindowController(KLTWindowSwitchingViewController*) {
    link_->endHostNotifications();
    if (services_ && hostsObservation_) services_->hostItemsDidChange.disconnect(*hostsObservation_);
    hostsObservation_.reset();
}

void KLTAccountDetailsViewController::takeAccountDetailsButton() { KLTViewManager::sharedInstance().showAccountViaWeb(); }

void KLTAccountDetailsViewController::takeHelpButton() { link_->openURL(PWConstants::accountDetailsHelpURL()); }

void KLTAccountDetailsViewController::takeAXWarningTextButton() { link_->showAccessibilitySettings(); }

void KLTAccountDetailsViewController::takeSignOutButton() {
    signOutWarning_ = std::make_unique<KLTSignOutWarningController>();
    auto* warning = signOutWarning_.get();
    warning->showWindow([this, warning](bool confirmed) {
        warning->close();
        if (!confirmed) return;
        link_->signOutWithAuthorization();
        KLTViewManager::sharedInstance().chooseStateAppropriateViewController();
    });
}

void KLTAccountDetailsViewController::removeHostWithHostDictionary(const std::optional<Value>& record) {
    if (!record) return;
    auto hostID = stringWithHostIDObject(record->get("id"));
    if (!hostID) return;
    view();
    spinner_->setRange(0, 0);
    spinner_->show();
    // A second later, without blocking the loop in the meantime.
    QPointer<QWidget> alive(view());
    QTimer::singleShot(1000, view(), [this, alive, id = *hostID] {
        link_->deleteHostWithID(id, [this, alive] {
            if (!alive) return;
            spinner_->setRange(0, 1);
            spinner_->hide();
        });
    });
}

QWidget* KLTSuccessLoginViewController::loadView() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    auto* text = outlet(new QLabel(QObject::tr("You are logged in. Your computers appear in the host list.")),
                        "explanationOfSuccess");
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* ok = outlet(new QPushButton(QObject::tr("OK")), "okButton");
    layout->addWidget(ok);
    QObject::connect(ok, &QPushButton::clicked, view, [this] { takeOKButton(); });
    return view;
}

void KLTSuccessLoginViewController::takeOKButton() { KLTViewManager::sharedInstance().chooseAccountDetails(); }

}  // namespace kl
