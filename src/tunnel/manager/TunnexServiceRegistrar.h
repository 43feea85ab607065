// The daemon's publisher of remote services on local ports, as the tunnel calls it. The daemon
// installs its registrar here at start-up; until then there is none and nothing is published.
#pragma once

#include <memory>
#include <string>

#include "tunnel/manager/TunnexServiceRecord.h"

namespace kl {

// Callable from any thread.
class TunnexServiceRegistrar {
public:
    virtual ~TunnexServiceRegistrar() = default;
    // Publishes a remote host's service on a forwarded local port (unsupported types and this
    // machine's own services are ignored).
    virtual void broadcastService(const std::shared_ptr<TunnexServiceRecord>& service) = 0;
    // Withdraws every published service of the host.
    virtual void unregisterServicesForUUID(const std::string& uuid) = 0;
};

// The process's registrar; empty until one is installed.
std::shared_ptr<TunnexServiceRegistrar> tunnexServiceRegistrar();
void setTunnexServiceRegistrar(std::shared_ptr<TunnexServiceRegistrar> registrar);

}  // namespace kl
