// Builds the menulet window: a dynamic area for the visible view controller's view above a
// status bar and the resize grip. Made once by the view manager; main thread only.
#pragma once

#include <memory>

class QWidget;

namespace kl {

class BackgroundColorView;
class KLTMenuletWindow;
class KLTResizeHandle;
class KLTStatusBarView;

class KLTMenuletWindowController {
public:
    KLTMenuletWindowController();
    ~KLTMenuletWindowController();

    KLTMenuletWindow* window() const { return window_.get(); }
    KLTStatusBarView* statusBarView() const { return statusBarView_; }
    QWidget* dynamicView() const;
    KLTResizeHandle* resizeHandle() const { return resizeHandle_; }
    void showWindow();

private:
    void windowDidLoad();

    std::unique_ptr<KLTMenuletWindow> window_;
    BackgroundColorView* dynamicView_ = nullptr;
    KLTStatusBarView* statusBarView_ = nullptr;
    KLTResizeHandle* resizeHandle_ = nullptr;
};

}  // namespace kl
