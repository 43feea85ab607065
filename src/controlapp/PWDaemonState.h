// How far the control app's link with the daemon has come.
#pragma once

namespace kl {

enum PWDaemonState : int {
    ePWDaemonStateNotCheckedIn = 0,
    ePWDaemonStateTryingCheckin = 1,  // check-in sent, no reply yet
    ePWDaemonStateCheckedIn = 2,
    ePWDaemonStateInterrupted = 3,    // the connection broke after the check-in
};

}  // namespace kl
