#include "controlapp/ui/KLTViewController.h"

#include "controlapp/ui/KLTOutletName.h"

namespace kl {

KLTViewController::KLTViewController(std::string name) : name_(std::move(name)) {}

KLTViewController::~KLTViewController() { delete view_.data(); }

QWidget* KLTViewController::view() {
    if (!view_) {
        view_ = loadView();
        if (view_ && !name_.empty() && view_->objectName().isEmpty()) outlet(view_.data(), name_.c_str());
    }
    return view_;
}

QWidget* KLTViewController::loadView() { return new QWidget; }

void KLTViewController::removeViewFromSuperview() {
    if (!view_ || !view_->parentWidget()) return;
    view_->hide();
    view_->setParent(nullptr);
}

QWidget* KLTViewController::window() const {
    if (!view_ || !view_->parentWidget()) return nullptr;
    return view_->window();
}

std::shared_ptr<KLTPopover> KLTViewController::popoverController() const {
    std::lock_guard lock(popoverLock_);
    return popover_.lock();
}

void KLTViewController::setPopoverController(std::shared_ptr<KLTPopover> popover) {
    std::lock_guard lock(popoverLock_);
    popover_ = std::move(popover);
}

}  // namespace kl
