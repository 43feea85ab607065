// Asks the user to confirm signing out, as a window of its own or as a sheet on a parent window.
// The handler gets true for Log Out and false for Cancel (or the window's close button), once.
#pragma once

#include <QPointer>

#include <functional>

#include <QDialog>
class QWidget;

namespace kl {

class KLTSignOutWarningController {
public:
    explicit KLTSignOutWarningController(QWidget* parentWindow = nullptr) : parentWindow_(parentWindow) {}
    ~KLTSignOutWarningController();
    KLTSignOutWarningController(const KLTSignOutWarningController&) = delete;
    KLTSignOutWarningController& operator=(const KLTSignOutWarningController&) = delete;

    void showWindow(std::function<void(bool)> handler);
    void showSheet(std::function<void(bool)> handler);
    void takeOK() { finish(true); }
    void takeCancel() { finish(false); }
    void close();

    QDialog* window() const { return window_; }
    bool presentedAsSheet() const { return presentedAsSheet_; }

private:
    void load();
    void finish(bool confirmed);

    QPointer<QWidget> parentWindow_;
    QPointer<QDialog> window_;
    std::function<void(bool)> handler_;
    bool presentedAsSheet_ = false;
};

}  // namespace kl
