// The base of the view controllers shown in the control app's windows, and the two protocols they
// may adopt.
//
// A controller owns its view (a QWidget made on first use by loadView). The view is lent to the
// window that shows it; whoever removes it from a window sets its parent back to none, and the
// controller deletes it when it goes. Main thread only, except popoverController, which is locked.
#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>
#include <mutex>
#include <string>

namespace kl {

class KLTPopover;

// Every controller shown in the menulet window refreshes itself on the view manager's request.
class KLTViewManagerMinion {
public:
    virtual ~KLTViewManagerMinion() = default;
    virtual void updateUIState() = 0;
};

// Told by a window-switching controller when its view enters or leaves the window. Both optional.
class KLTWindowSwitching {
public:
    virtual ~KLTWindowSwitching() = default;
    virtual void viewControllerWasAddedToWindowController(class KLTWindowSwitchingViewController*) {}
    virtual void viewControllerWasRemovedFromWindowController(class KLTWindowSwitchingViewController*) {}
};

class KLTViewController {
public:
    // name: the controller's interface name, given to its view as objectName.
    explicit KLTViewController(std::string name = {});
    virtual ~KLTViewController();
    KLTViewController(const KLTViewController&) = delete;
    KLTViewController& operator=(const KLTViewController&) = delete;

    const std::string& nibName() const { return name_; }
    QWidget* view();
    bool isViewLoaded() const { return !view_.isNull(); }
    // Takes the view out of whatever window holds it, keeping it for a later show.
    void removeViewFromSuperview();

    // The window of the controller's view (none while the view is not in one).
    QWidget* window() const;

    std::shared_ptr<KLTPopover> popoverController() const;
    void setPopoverController(std::shared_ptr<KLTPopover> popover);

    // Window key changes, passed on by the window-switching controller.
    virtual void windowDidBecomeKey() {}
    virtual void windowDidResignKey() {}

protected:
    // Builds the view; the default is an empty widget.
    virtual QWidget* loadView();

private:
    std::string name_;
    QPointer<QWidget> view_;
    mutable std::mutex popoverLock_;
    // Weak: the popover holds its content controller, and a strong link back would keep both.
    std::weak_ptr<KLTPopover> popover_;
};

// The first-launch controller adds nothing to the base.
class KLTFirstLaunchViewController final : public KLTViewController {
public:
    using KLTViewController::KLTViewController;
};

}  // namespace kl
