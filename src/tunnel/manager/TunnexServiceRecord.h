// A remote host's service as the tunnel reads it. The daemon's service records implement it.
#pragma once

#include <string>

namespace kl {

// Implementations are read and rewritten (setUuid) from several tunnel threads and guard their
// own fields.
class TunnexServiceRecord {
public:
    virtual ~TunnexServiceRecord() = default;

    // The key under which the record is stored.
    virtual std::string serviceKey() const = 0;
    // The host's machine UUID; the tunnel rewrites it to its remote record's UUID when they differ.
    virtual std::string uuid() const = 0;
    virtual void setUuid(std::string uuid) = 0;
    // The host UUID under which the remote is registered.
    virtual std::string hostUUID() const = 0;
    // The account server's identifier of the host.
    virtual std::string serverID() const = 0;
    // The host's name, used for the remote record and in log lines.
    virtual std::string name() const = 0;
    // The DNS-SD service type.
    virtual std::string type() const = 0;
};

}  // namespace kl
