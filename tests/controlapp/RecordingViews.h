// A user interface stand-in that counts what the app delegate asks of it.
#pragma once

#include "controlapp/KLTAppDelegateViews.h"

namespace kl::test {

class RecordingViews final : public KLTAppDelegateViews {
public:
    void updateUIState() override { ++updates; }
    void chooseAccountDetails() override { ++accountDetails; }
    void chooseSignInView() override { ++signInViews; }
    bool mainWindowVisible() const override { return false; }
    void terminate() override { ++terminations; }
    void relaunch() override { ++relaunches; }
    void credentialsRefused() override { ++refusals; }
    int updates = 0, accountDetails = 0, signInViews = 0, terminations = 0, relaunches = 0, refusals = 0;
};

}  // namespace kl::test
