// The uninstall confirmation window ("Uninstall"). Its handler gets true for Uninstall and false
// for Cancel or for closing the window, once per showing.
#pragma once

#include <QDialog>
#include <QPointer>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace kl {

class KLTUninstallController {
public:
    KLTUninstallController();
    // The window goes later, so that a handler may drop its controller while the window's own
    // signal is running.
    ~KLTUninstallController();
    KLTUninstallController(const KLTUninstallController&) = delete;
    KLTUninstallController& operator=(const KLTUninstallController&) = delete;

    void showWindow(std::function<void(bool)> handler);
    // Disables both buttons, shows the progress indicator, answers true.
    void okButtonPressed();
    void cancelButtonPressed();
    void close();

    QDialog* window() const { return window_; }
    QLabel* warningTitle() const { return warningTitle_; }
    QLabel* warningExplanation() const { return warningExplanation_; }
    QPushButton* okButton() const { return okButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }
    QProgressBar* progressIndicator() const { return progressIndicator_; }

private:
    void answer(bool uninstall);

    QPointer<QDialog> window_;
    QLabel* warningTitle_ = nullptr;
    QLabel* warningExplanation_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QProgressBar* progressIndicator_ = nullptr;
    std::function<void(bool)> handlerBlock_;
};

}  // namespace kl
