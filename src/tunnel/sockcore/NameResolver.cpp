#include "tunnel/sockcore/NameResolver.h"

#include <utility>

namespace kl {

NameResolver::NameResolver(LookupFunction lookup) : lookup_(std::move(lookup)), thread_("NameResolver") {}

NameResolver& NameResolver::shared() {
    static NameResolver* resolver = new NameResolver();  // never destroyed
    return *resolver;
}

void NameResolver::lookup(std::string host, int addressFamily, Completion done) {
    thread_.post([lookup = lookupFunction(), host = std::move(host), addressFamily, done = std::move(done)] {
        std::string canonical;
        SockAddrPtr address = lookup(host.c_str(), &canonical, addressFamily);
        globalQueue().async([done, address = std::move(address), canonical = std::move(canonical)] {
            done(address, canonical);
        });
    });
}

void NameResolver::post(Task job) { thread_.post(std::move(job)); }

void NameResolver::setLookupFunction(LookupFunction lookup) {
    std::lock_guard guard(mutex_);
    lookup_ = std::move(lookup);
}

NameResolver::LookupFunction NameResolver::lookupFunction() const {
    std::lock_guard guard(mutex_);
    return lookup_;
}

}  // namespace kl
