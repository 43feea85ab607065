// Tells the user that Port Weaver already runs for them. Its one button, Quit, calls the handler
// with true, once; closing the window counts as Quit, since this copy has nothing else to do.
#pragma once

#include <QPointer>

#include <functional>

class QDialog;

namespace kl {

class KLTAlreadyRunningWarningController {
public:
    KLTAlreadyRunningWarningController() = default;
    ~KLTAlreadyRunningWarningController();
    KLTAlreadyRunningWarningController(const KLTAlreadyRunningWarningController&) = delete;
    KLTAlreadyRunningWarningController& operator=(const KLTAlreadyRunningWarningController&) = delete;

    // Keeps the handler, centres the window on its screen and brings it to the front.
    void showWindow(std::function<void(bool)> handler);
    void takeQuit();

    QDialog* window() const { return window_; }
    bool presentedAsSheet() const { return presentedAsSheet_; }

private:
    void load();

    QPointer<QDialog> window_;
    std::function<void(bool)> handlerBlock_;
    bool presentedAsSheet_ = false;
};

}  // namespace kl
