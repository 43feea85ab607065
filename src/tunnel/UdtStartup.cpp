#include "tunnel/UdtStartup.h"

#include <udt/udt.h>

#include <mutex>

namespace kl {

void udtStartup() {
    static std::once_flag once;
    std::call_once(once, [] { UDT::startup(); });
}

}  // namespace kl
