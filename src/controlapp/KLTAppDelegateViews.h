// What the daemon link asks of the user interface: refreshes, view choices and leaving the app.
// The app delegate holds it weakly; every call comes on the main loop.
#pragma once

namespace kl {

class KLTAppDelegateViews {
public:
    virtual ~KLTAppDelegateViews() = default;
    virtual void updateUIState() = 0;
    virtual void chooseAccountDetails() = 0;
    virtual void chooseSignInView() = 0;
    virtual bool mainWindowVisible() const = 0;
    // The daemon asked this app to quit (message 4) or to restart (message 5).
    virtual void terminate() = 0;
    virtual void relaunch() = 0;
    // Installing the daemon was refused its credentials: tell the user, then leave with status 1.
    virtual void credentialsRefused() = 0;
};

}  // namespace kl
