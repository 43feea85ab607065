// The control app's surroundings as its app delegate sees them: the view manager's tray icon and
// windows, the crash reporter, the updater, the mover, the warning of a second copy, and leaving
// the app. Dialogs that wait for an answer appear only where someone can see them (not on the
// offscreen platform).
//
// Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "controlapp/KLTAppDelegateViews.h"
#include "controlapp/KLTLaunchViews.h"

namespace kl {

class KLTAlreadyRunningWarningController;
class KLTPortweaverUpdaterDelegate;

class KLTApplicationViews final : public KLTAppDelegateViews,
                                  public KLTLaunchViews,
                                  public std::enable_shared_from_this<KLTApplicationViews> {
public:
    explicit KLTApplicationViews(std::string bundlePath);
    ~KLTApplicationViews() override;

    // Runs once the user interface exists, in the copy that runs (the test builds' UI probe
    // starts listening there, so that a second copy never takes its socket).
    std::function<void()> userInterfaceReady;

    void updateUIState() override;
    void chooseAccountDetails() override;
    void chooseSignInView() override;
    bool mainWindowVisible() const override;
    void terminate() override;
    void relaunch() override;
    void credentialsRefused() override;

    void startCrashReporting() override;
    void showAlreadyRunningWarning(std::function<void()> quit) override;
    void initializeUserInterface() override;
    void startUpdateCheck(std::weak_ptr<KLTAppDelegate> app) override;
    void moveToApplicationsFolderIfNecessary(std::weak_ptr<PFMoveApplicationDelegate> delegate) override;
    void changeStatusItemImage(const std::string& imageName) override;
    void showUI(bool accountDetails) override;

private:
    std::string bundle_;
    std::unique_ptr<KLTAlreadyRunningWarningController> warning_;
    std::shared_ptr<KLTPortweaverUpdaterDelegate> updaterLink_;
};

}  // namespace kl
