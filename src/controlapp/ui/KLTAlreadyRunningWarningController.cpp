#include "controlapp/ui/KLTAlreadyRunningWarningController.h"

#include <QDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "controlapp/ui/KLTOutletName.h"

namespace kl {

KLTAlreadyRunningWarningController::~KLTAlreadyRunningWarningController() { delete window_.data(); }

void KLTAlreadyRunningWarningController::load() {
    if (window_) return;
    window_ = outlet(new QDialog, "AlreadyRunningWarning");
    window_->setWindowTitle(QObject::tr("Port Weaver Already Running"));
    auto* layout = new QVBoxLayout(window_);
    layout->addWidget(outlet(new QLabel(QObject::tr("Port Weaver is already running")), "warningField"));
    auto* explanation = outlet(new QLabel(QObject::tr("If you want to run this copy, Uninstall the currently running "
                                                      "one and then run this one.")),
                               "warningExplanationField");
    explanation->setWordWrap(true);
    layout->addWidget(explanation);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* quit = outlet(new QPushButton(QObject::tr("Quit")), "quitButton");
    quit->setDefault(true);
    buttons->addWidget(quit);
    layout->addLayout(buttons);
    QObject::connect(quit, &QPushButton::clicked, window_, [this] { takeQuit(); });
    QObject::connect(window_, &QDialog::rejected, window_, [this] { takeQuit(); });
}

void KLTAlreadyRunningWarningController::showWindow(std::function<void(bool)> handler) {
    handlerBlock_ = std::move(handler);
    load();
    window_->adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void KLTAlreadyRunningWarningController::takeQuit() {
    // Taken first: hiding the window reports a rejection, which must not call it again.
    auto handler = std::exchange(handlerBlock_, nullptr);
    if (window_) window_->hide();
    if (handler) handler(true);
}

}  // namespace kl
