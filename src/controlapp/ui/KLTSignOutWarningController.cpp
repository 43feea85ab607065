#include "controlapp/ui/KLTSignOutWarningController.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "controlapp/ui/KLTOutletName.h"

namespace kl {

KLTSignOutWarningController::~KLTSignOutWarningController() { delete window_.data(); }

void KLTSignOutWarningController::load() {
    if (window_) return;
    window_ = outlet(new QDialog(presentedAsSheet_ ? parentWindow_.data() : nullptr), "SignOutWarning");
    window_->setWindowTitle(QObject::tr("Log Out Warning"));
    auto* layout = new QVBoxLayout(window_);
    layout->addWidget(outlet(new QLabel(QObject::tr("Do you really want to log out?")), "warningField"));
    auto* explanation = outlet(new QLabel(QObject::tr("Logging out of your Port Weaver account will make services "
                                                      "like Desk Gate unavailable.")),
                               "warningExplanationField");
    explanation->setWordWrap(true);
    layout->addWidget(explanation);
    auto* buttons = new QHBoxLayout;
    auto* cancel = outlet(new QPushButton(QObject::tr("Cancel")), "cancelButton");
    auto* ok = outlet(new QPushButton(QObject::tr("Log Out")), "okButton");
    ok->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(ok);
    layout->addLayout(buttons);
    QObject::connect(ok, &QPushButton::clicked, window_, [this] { takeOK(); });
    QObject::connect(cancel, &QPushButton::clicked, window_, [this] { takeCancel(); });
    // Closing the window is a cancel.
    QObject::connect(window_, &QDialog::rejected, window_, [this] { takeCancel(); });
}

void KLTSignOutWarningController::showWindow(std::function<void(bool)> handler) {
    presentedAsSheet_ = false;
    handler_ = std::move(handler);
    load();
    window_->setWindowModality(Qt::ApplicationModal);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void KLTSignOutWarningController::showSheet(std::function<void(bool)> handler) {
    presentedAsSheet_ = true;
    handler_ = std::move(handler);
    if (window_ && window_->parentWidget() != parentWindow_) delete window_.data();
    load();
    window_->setWindowModality(Qt::WindowModal);
    window_->open();
}

void KLTSignOutWarningController::finish(bool confirmed) {
    // Taken first: the handler runs once, even when closing the window reports a cancel.
    auto handler = std::exchange(handler_, nullptr);
    if (presentedAsSheet_) close();
    if (handler) handler(confirmed);
}

void KLTSignOutWarningController::close() {
    if (window_ && window_->isVisible()) {
        handler_ = nullptr;
        window_->hide();
    }
}

}  // namespace kl
