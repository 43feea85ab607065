#include "controlapp/ui/KLTWindowSwitchingViewController.h"

#include <QEvent>
#include <QVBoxLayout>
#include <QWidget>

#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTViewController.h"

namespace kl {

namespace {

// The window's delegate: close and key changes.
class WindowEvents final : public QObject {
public:
    explicit WindowEvents(KLTWindowSwitchingViewController& owner) : owner_(owner) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto& current = owner_.currentViewController();
        switch (event->type()) {
        case QEvent::Close: owner_.windowWillClose(); break;
        case QEvent::WindowActivate: if (current) current->windowDidBecomeKey(); break;
        case QEvent::WindowDeactivate: if (current) current->windowDidResignKey(); break;
        default: break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    KLTWindowSwitchingViewController& owner_;
};

}  // namespace

KLTWindowSwitchingViewController::KLTWindowSwitchingViewController(std::shared_ptr<KLTViewController> controller)
    : window_(std::make_unique<QWidget>()), windowEvents_(std::make_unique<WindowEvents>(*this)) {
    outlet(window_.get(), "SwitchingViewWindow");
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    window_->installEventFilter(windowEvents_.get());
    setCurrent(std::move(controller));
}

KLTWindowSwitchingViewController::~KLTWindowSwitchingViewController() {
    window_->removeEventFilter(windowEvents_.get());
    if (current_) current_->removeViewFromSuperview();
}

void KLTWindowSwitchingViewController::setCurrent(std::shared_ptr<KLTViewController> controller) {
    current_ = std::move(controller);
    if (!current_) return;
    QWidget* view = current_->view();
    window_->layout()->addWidget(view);
    view->show();
    if (auto* switching = dynamic_cast<KLTWindowSwitching*>(current_.get()))
        switching->viewControllerWasAddedToWindowController(this);
}

void KLTWindowSwitchingViewController::switchToViewControllerNamed(const std::optional<std::string>& name) {
    if (name == currentViewControllerName()) {
        currentName_ = name;
        return;
    }
    std::shared_ptr<KLTViewController> next;
    if (name) {
        auto factory = viewControllerClasses.find(*name);
        if (factory != viewControllerClasses.end() && factory->second) {
            next = factory->second(*name);
            if (next) next->view();
        }
    }
    if (auto previous = std::move(current_)) {
        previous->removeViewFromSuperview();
        if (auto* switching = dynamic_cast<KLTWindowSwitching*>(previous.get()))
            switching->viewControllerWasRemovedFromWindowController(this);
    }
    setCurrent(std::move(next));
    currentName_ = name;
}

void KLTWindowSwitchingViewController::windowWillClose() {
    if (!currentName_) return;
    switchToViewControllerNamed(std::nullopt);
    currentName_.reset();
}

}  // namespace kl
