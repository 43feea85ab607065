#include "controlapp/ui/KLTMenuletWindowController.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "controlapp/ui/KLTBackgroundViews.h"
#include "controlapp/ui/KLTLinkButtonCell.h"
#include "controlapp/ui/KLTMenuletWindow.h"
#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTResizeHandle.h"
#include "controlapp/ui/KLTStatusBarView.h"

namespace kl {

KLTMenuletWindowController::KLTMenuletWindowController() : window_(std::make_unique<KLTMenuletWindow>()) {
    auto* windowLayout = new QVBoxLayout(window_.get());
    windowLayout->setContentsMargins(0, 0, 0, 0);
    auto* content = outlet(new KLTOpaqueContentView, "contentView");
    windowLayout->addWidget(content);

    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->setSpacing(0);
    dynamicView_ = outlet(new BackgroundColorView, "dynamicView");
    auto* dynamicLayout = new QVBoxLayout(dynamicView_);
    dynamicLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->addWidget(dynamicView_, 1);

    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(0, 0, 0, 0);
    statusBarView_ = new KLTStatusBarView;
    bottom->addWidget(statusBarView_, 1);
    resizeHandle_ = outlet(new KLTResizeHandle, "resizeHandle");
    bottom->addWidget(resizeHandle_, 0, Qt::AlignBottom);
    contentLayout->addLayout(bottom);

    window_->setMinimumSize(KLTResizeHandle::kMinimumWindowSize);
    window_->resize(320, 420);
    windowDidLoad();
}

KLTMenuletWindowController::~KLTMenuletWindowController() = default;

QWidget* KLTMenuletWindowController::dynamicView() const { return dynamicView_; }

void KLTMenuletWindowController::windowDidLoad() { statusBarView_->leftLinkButton()->setText({}); }

void KLTMenuletWindowController::showWindow() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

}  // namespace kl
