// Start-up of the UDT library: its garbage collector and timer threads start once per process.
#pragma once

#include "tunnel/TunnexResult.h"

namespace kl {

// Starts UDT the first time it is called; later calls (from any thread) do nothing and return the
// first call's outcome. UDT is cleaned up only at process exit, so its collector thread is stopped
// before the library's globals are destroyed; should a lingering channel hold the collector for
// more than a few seconds, the process ends there (status 0) rather than hang.
TunnexResult<void> udtStartup();

}  // namespace kl
