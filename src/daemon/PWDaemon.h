// The daemon's life: start-up in its fixed order, the main loop, and a clean exit on SIGTERM.
#pragma once

#include "daemon/PWDaemonBuildInfo.h"

namespace kl {

// Environment variables the daemon reads (tests and hand runs):
//   KL_DAEMON_WATCHDOG_SECONDS     the per-event alarm, 120 when unset
//   KL_DAEMON_TEST_STALL_COMMAND   a command number whose handling blocks (watchdog tests)
int runDaemon(int argc, char** argv, const PWDaemonBuildInfo& build);

}  // namespace kl
