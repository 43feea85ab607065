#include "controlapp/ui/KLTPopover.h"

#include <QFrame>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>

#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTViewController.h"

namespace kl {

namespace {

struct Stack {
    std::mutex lock;
    std::vector<std::shared_ptr<KLTViewController>> controllers;
};

Stack& stack() {
    static auto* value = new Stack;
    return *value;
}

}  // namespace

std::shared_ptr<KLTPopover> KLTPopover::create() { return std::shared_ptr<KLTPopover>(new KLTPopover); }

KLTPopover::KLTPopover() : window_(std::make_unique<QFrame>(nullptr, Qt::Popup | Qt::FramelessWindowHint)) {
    outlet(window_.get(), "popover");
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
}

KLTPopover::~KLTPopover() {
    // The content view belongs to its controller, not to this window.
    if (content_) content_->removeViewFromSuperview();
}

void KLTPopover::showContent(std::shared_ptr<KLTViewController> controller) {
    if (content_ == controller) return;
    if (content_) content_->removeViewFromSuperview();
    content_ = std::move(controller);
    if (!content_) return;
    QWidget* view = content_->view();
    window_->layout()->addWidget(view);
    view->show();
    content_->setPopoverController(shared_from_this());
}

void KLTPopover::setContentViewController(std::shared_ptr<KLTViewController> controller) {
    showContent(controller);
    std::lock_guard lock(stack().lock);
    stack().controllers.clear();
    if (controller) stack().controllers.push_back(std::move(controller));
}

void KLTPopover::pushViewController(std::shared_ptr<KLTViewController> controller, bool) {
    if (!controller) return;
    showContent(controller);
    std::lock_guard lock(stack().lock);
    stack().controllers.push_back(std::move(controller));
}

void KLTPopover::popViewControllerAnimated(bool) {
    std::shared_ptr<KLTViewController> top;
    {
        std::lock_guard lock(stack().lock);
        auto& list = stack().controllers;
        if (list.size() < 2) return;
        list.pop_back();
        top = list.back();
    }
    showContent(std::move(top));
}

void KLTPopover::popToViewController(const std::shared_ptr<KLTViewController>& controller, bool) {
    {
        std::lock_guard lock(stack().lock);
        auto& list = stack().controllers;
        auto found = std::find(list.begin(), list.end(), controller);
        if (!controller || found == list.end()) return;
        list.erase(found + 1, list.end());
    }
    showContent(controller);
}

std::vector<std::shared_ptr<KLTViewController>> KLTPopover::viewControllers() {
    std::lock_guard lock(stack().lock);
    return stack().controllers;
}

void KLTPopover::showRelativeToRect(const QRect& anchor) {
    window_->adjustSize();
    window_->move(anchor.center().x() - window_->width() / 2, anchor.bottom() + 1);
    window_->show();
    if (content_ && content_->view()) content_->view()->setFocus();
}

void KLTPopover::close() { window_->hide(); }

bool KLTPopover::isShown() const { return window_->isVisible(); }

QWidget* KLTPopover::window() const { return window_.get(); }

}  // namespace kl
