// What the app delegate's start-up asks of the program around it beyond the daemon link's views:
// crash reports, the warning of a second copy, the windows, the updater and the mover. The
// delegate holds it weakly; every call comes on the main loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kl {

class KLTAppDelegate;
class PFMoveApplicationDelegate;

class KLTLaunchViews {
public:
    virtual ~KLTLaunchViews() = default;
    virtual void startCrashReporting() = 0;
    // Another copy runs for this user: tell so; quit ends this copy with status 0.
    virtual void showAlreadyRunningWarning(std::function<void()> quit) = 0;
    // The tray icon and the window, once this copy is the one that runs.
    virtual void initializeUserInterface() = 0;
    virtual void startUpdateCheck(std::weak_ptr<KLTAppDelegate> app) = 0;
    // Offers the move only where someone can answer; a move relaunches and ends this process.
    virtual void moveToApplicationsFolderIfNecessary(std::weak_ptr<PFMoveApplicationDelegate> delegate) = 0;
    virtual void changeStatusItemImage(const std::string& imageName) = 0;
    // Brings the window up on the account details (signed in) or on the sign-in view.
    virtual void showUI(bool accountDetails) = 0;
};

}  // namespace kl
