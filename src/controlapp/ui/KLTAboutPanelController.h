// The About window ("About"): the app's icon and name, the versions of the four pieces of the
// system (control app, daemon, screen service, tunnel layer), the bundle's notice text, and the
// credits (share/Credits.html of the bundle) scrolling while the window is open.
//
// GUI thread only. The window goes when the controller does (later, so a handler may drop the
// controller while the window's own close is running).
#pragma once

#include <QDialog>
#include <QPointer>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "controlapp/ui/CreditsView.h"
#include "platform/Value.h"

class QLabel;
class QTextEdit;

namespace kl {

class KLTAppDelegate;
class PWServicesManager;

class KLTAboutPanelController {
public:
    struct Options {
        std::filesystem::path bundlePath;  // Info.plist and share/Credits.html
        std::weak_ptr<KLTAppDelegate> app;  // the running daemon's versions
        std::shared_ptr<PWServicesManager> services;  // the running screen service's version
        std::function<CreditsView::Clock::time_point()> clock;  // default: the steady clock
    };
    // Shown at most this many lines of the notice; a longer one scrolls.
    static constexpr int kNoticeLines = 5;

    explicit KLTAboutPanelController(Options options);
    ~KLTAboutPanelController();
    KLTAboutPanelController(const KLTAboutPanelController&) = delete;
    KLTAboutPanelController& operator=(const KLTAboutPanelController&) = delete;

    // Keeps the handler, shows the window and starts the credits.
    void showWindow(std::function<void(bool)> handler);
    // The window closes: the credits stop, then the handler gets true.
    void windowWillClose();

    std::string applicationName() const;
    std::string controlAppVersionString() const;
    std::string daemonVersionString() const;
    std::string deskgateVersionString() const;
    std::string tunnexVersionString() const;
    std::string copyright() const;

    QDialog* window() const { return window_; }
    QTextEdit* copyrightView() const { return copyrightView_; }
    CreditsView* creditsView() const { return creditsView_; }
    QLabel* field(const char* name) const;

private:
    void awakeFromNib();
    void sizeCopyrightView();
    std::string bundleString(const char* key) const;

    Options options_;
    Dictionary bundleInfo_;
    QPointer<QDialog> window_;
    QTextEdit* copyrightView_ = nullptr;
    CreditsView* creditsView_ = nullptr;
    std::function<void(bool)> handlerBlock_;
};

}  // namespace kl
