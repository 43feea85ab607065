#include "tunnel/UdtStartup.h"

#include <udt/udt.h>

#include <cstdlib>
#include <mutex>

namespace kl {

bool udtStartup() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        started = UDT::startup() == 0;
        // UDT's own globals are destroyed at exit under its still running collector thread; stop the
        // collector first (exit handlers run before the library's static destructors).
        if (started) std::atexit([] { UDT::cleanup(); });
    });
    return started;
}

}  // namespace kl
