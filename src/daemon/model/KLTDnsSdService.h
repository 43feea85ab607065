// A DNS-SD service as the rest of the daemon sees it: domain, type, name and port, plus the host
// accessors that the host list and the service registrar read. A service found by browsing answers
// them as a plain service ("<name> (Bonjour)", always available, no host identity); KLTNetService
// overrides them with what the account server said about the host. Texts that a plain service
// lacks come back empty.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace kl {

inline constexpr const char* KLTTCPTransportTypeString = "_tcp";
inline constexpr const char* KLTUDPTransportTypeString = "_udp";

class KLTDnsSdService {
public:
    // port -1: none given.
    KLTDnsSdService(std::string domain, std::string type, std::string name, int port = -1);
    virtual ~KLTDnsSdService() = default;
    KLTDnsSdService(const KLTDnsSdService&) = delete;
    KLTDnsSdService& operator=(const KLTDnsSdService&) = delete;

    // "_tcp" when the type contains "_tcp", else "_udp" when it contains "_udp", else nothing.
    static std::optional<std::string> serviceTransportForServiceType(const std::string& type);
    // SOCK_STREAM (1) for "_tcp", SOCK_DGRAM (2) for "_udp", 0 otherwise.
    static int sockTypeForServiceType(const std::string& type);
    std::optional<std::string> serviceTransport() const { return serviceTransportForServiceType(type()); }
    int sockType() const { return sockTypeForServiceType(type()); }

    std::string domain() const { return domain_; }
    virtual std::string type() const { return type_; }
    virtual std::string name() const { return name_; }
    int port() const { return port_; }
    // The resolved host name; nothing sets it on our records.
    virtual std::optional<std::string> hostName() const { return hostName_; }
    void setHostName(std::optional<std::string> hostName) { hostName_ = std::move(hostName); }

    // "<domain>~<type>~<name>".
    virtual std::string serviceKey() const;
    std::string identifierString() const { return serviceKey(); }

    virtual std::string configuredName() const;
    virtual void setConfiguredName(std::string) {}
    virtual std::string nickname() const { return {}; }
    virtual void setNickname(std::string) {}
    virtual std::string uuid() const { return {}; }
    virtual void setUuid(std::string) {}
    virtual std::string systemType() const { return {}; }
    virtual void setSystemType(std::string) {}
    virtual std::string serverID() const { return {}; }
    // A number is kept as its decimal text, a string as it is; anything else is ignored.
    virtual void setServerID(const Value&) {}
    virtual int32_t status() const { return 1; }
    virtual void setStatus(int32_t) {}
    virtual std::shared_ptr<void> context() const { return nullptr; }
    virtual void setContext(std::shared_ptr<void>) {}

    // The flag lives in the process-wide placeholder table under the service key.
    bool connected() const;
    void setConnected(bool connected);

    // Same identity: equal service keys.
    bool isEqual(const KLTDnsSdService& other) const { return identifierString() == other.identifierString(); }
    // Same identity and the same status.
    bool isExactly(const KLTDnsSdService& other) const { return isEqual(other) && status() == other.status(); }

    virtual std::string description() const;

private:
    const std::string domain_;
    const std::string type_;
    const std::string name_;
    const int port_;
    std::optional<std::string> hostName_;
};

}  // namespace kl
