// A popover: a frameless pop-up window that shows one view controller, with a stack of
// controllers to push and pop. The stack is one list for the whole process, shared by every
// popover, and guarded by one process-wide lock. Main thread only, apart from the stack.
#pragma once

#include <QRect>

#include <memory>
#include <vector>

class QFrame;
class QWidget;

namespace kl {

class KLTViewController;

class KLTPopover : public std::enable_shared_from_this<KLTPopover> {
public:
    static std::shared_ptr<KLTPopover> create();
    ~KLTPopover();

    // Shows controller as the content and restarts the stack with it alone.
    void setContentViewController(std::shared_ptr<KLTViewController> controller);
    std::shared_ptr<KLTViewController> contentViewController() const { return content_; }
    // Shows controller and puts it on top of the stack.
    void pushViewController(std::shared_ptr<KLTViewController> controller, bool animated);
    // With two or more controllers, drops the top one and shows the new top.
    void popViewControllerAnimated(bool animated);
    // Drops controllers above controller and shows it; a controller not on the stack changes nothing.
    void popToViewController(const std::shared_ptr<KLTViewController>& controller, bool animated);
    // A copy of the stack, bottom first.
    static std::vector<std::shared_ptr<KLTViewController>> viewControllers();

    // Opens the popover below anchor (global coordinates), sized to its content.
    void showRelativeToRect(const QRect& anchor);
    void close();
    bool isShown() const;
    QWidget* window() const;
    // A slot for a detached window that nothing fills.
    QWidget* detachableWindowForPopover() const { return nullptr; }

private:
    KLTPopover();
    // The standard content setter: swaps the view shown, leaves the stack alone.
    void showContent(std::shared_ptr<KLTViewController> controller);

    std::unique_ptr<QFrame> window_;
    std::shared_ptr<KLTViewController> content_;
};

}  // namespace kl
