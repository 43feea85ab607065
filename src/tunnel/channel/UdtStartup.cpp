#include "tunnel/channel/UdtStartup.h"

#include <udt/udt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

namespace kl {
namespace {

// How long the exit waits for UDT's collector.
constexpr std::chrono::seconds kCleanupLimit{5};

void cleanupAtExit() {
    // UDT's collector ends only once every closed channel has let go, and a channel closed with
    // unsent data toward a peer that takes none lingers for minutes. The exit waits a few seconds
    // for it; past that the process ends here, before UDT's globals are destroyed under the still
    // running collector.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([done] {
        UDT::cleanup();
        done->set_value();
    }).detach();
    if (finished.wait_for(kCleanupLimit) == std::future_status::ready) return;
    std::fputs("UDT did not stop within its limit at exit (a closed channel still lingers); ending now\n", stderr);
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}

}  // namespace

TunnexResult<void> udtStartup() {
    static std::once_flag once;
    static std::optional<TunnexError> failure;
    std::call_once(once, [] {
        if (UDT::startup() != 0) {
            failure = TunnexError::lastUDT();
            return;
        }
        // UDT's own globals are destroyed at exit under its still running collector thread; stop the
        // collector first (exit handlers run before the library's static destructors).
        std::atexit(cleanupAtExit);
    });
    if (failure) return *failure;
    return {};
}

}  // namespace kl
