// src/tunnel/sockcore: the socket core: TCP and proxy sockets, the select thread and its tables,
// the name resolver's thread.
//
// The thread that name lookups run on. getaddrinfo can block for seconds (a slow or silent DNS
// server), so no pool worker runs one: a lookup is queued here, runs on the resolver's own thread,
// and its caller continues in a callback on the global queue. Lookups run one at a time, in the
// order they were asked for.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "platform/WorkerThread.h"
#include "tunnel/sockcore/SockAddr.h"

namespace kl {

class NameResolver {
public:
    // How a name is looked up: sk_namelookup's contract.
    using LookupFunction = std::function<SockAddrPtr(const char* host, std::string* canonical, int addressFamily)>;
    // The record (its error set when the name did not resolve) and the canonical name.
    using Completion = std::function<void(SockAddrPtr address, std::string canonical)>;

    explicit NameResolver(LookupFunction lookup = sk_namelookup);

    // The process's resolver, created on first use and never destroyed.
    static NameResolver& shared();

    // Resolves host (ADDRTYPE_UNSPEC, _IPV4 or _IPV6) and calls done from a task of the global
    // queue.
    void lookup(std::string host, int addressFamily, Completion done);
    // Runs job on the resolver's thread, in turn with the lookups: for a lookup made through
    // another interface. The job hands anything longer than the lookup on to a queue.
    void post(Task job);
    // Replaces the lookup function (tests make a name slow or fail with it).
    void setLookupFunction(LookupFunction lookup);

private:
    LookupFunction lookupFunction() const;

    mutable std::mutex mutex_;
    LookupFunction lookup_;  // guarded by mutex_
    WorkerThread thread_;    // last: joined before the rest goes
};

}  // namespace kl
