#include "controlapp/ui/KLTUninstallController.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

#include "controlapp/ui/KLTOutletName.h"

namespace kl {

KLTUninstallController::KLTUninstallController() {
    window_ = outlet(new QDialog, "Uninstall");
    window_->setWindowTitle(QObject::tr("Uninstall Port Weaver"));
    auto* layout = new QVBoxLayout(window_);
    warningTitle_ = outlet(new QLabel(QObject::tr("Do you really want to uninstall Port Weaver?")), "warningTitle");
    QFont bold = warningTitle_->font();
    bold.setBold(true);
    warningTitle_->setFont(bold);
    layout->addWidget(warningTitle_);
    warningExplanation_ =
        outlet(new QLabel(QObject::tr("You will no longer be able to use Desk Gate.\nYou can reinstall it later.")),
               "warningExplanation");
    layout->addWidget(warningExplanation_);
    progressIndicator_ = outlet(new QProgressBar, "progressIndicator");
    progressIndicator_->setRange(0, 0);  // busy, without a known end
    progressIndicator_->setTextVisible(false);
    progressIndicator_->hide();
    layout->addWidget(progressIndicator_);
    auto* buttons = new QHBoxLayout;
    cancelButton_ = outlet(new QPushButton(QObject::tr("Cancel")), "cancelButton");
    okButton_ = outlet(new QPushButton(QObject::tr("Uninstall")), "okButton");
    buttons->addStretch();
    buttons->addWidget(cancelButton_);
    buttons->addWidget(okButton_);
    layout->addLayout(buttons);
    QObject::connect(okButton_, &QPushButton::clicked, window_, [this] { okButtonPressed(); });
    QObject::connect(cancelButton_, &QPushButton::clicked, window_, [this] { cancelButtonPressed(); });
    // Closing the window is a cancel; otherwise nobody would hear of it.
    QObject::connect(window_, &QDialog::rejected, window_, [this] { cancelButtonPressed(); });
}

KLTUninstallController::~KLTUninstallController() {
    if (window_) {
        window_->disconnect();
        window_->hide();
        window_->deleteLater();
    }
}

void KLTUninstallController::showWindow(std::function<void(bool)> handler) {
    handlerBlock_ = std::move(handler);
    progressIndicator_->hide();
    okButton_->setEnabled(true);
    cancelButton_->setEnabled(true);
    okButton_->setDefault(true);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void KLTUninstallController::okButtonPressed() {
    okButton_->setEnabled(false);
    cancelButton_->setEnabled(false);
    progressIndicator_->show();
    answer(true);
}

void KLTUninstallController::cancelButtonPressed() { answer(false); }

void KLTUninstallController::answer(bool uninstall) {
    // Taken first: closing the window from the handler reports a cancel that must not answer again.
    auto handler = std::exchange(handlerBlock_, nullptr);
    if (handler) handler(uninstall);
}

void KLTUninstallController::close() {
    handlerBlock_ = nullptr;
    if (window_) window_->hide();
}

}  // namespace kl
