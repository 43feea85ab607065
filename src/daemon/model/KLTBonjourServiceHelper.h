// The service key "<domain>~<type>~<name>" identifies a service everywhere: in the placeholder
// table, in the tunnel's remote records and between the daemon and its control apps.
#pragma once

#include <optional>
#include <string>

namespace kl {

class KLTDnsSdService;

class KLTBonjourServiceHelper {
public:
    // Nothing when any of the three parts is missing.
    static std::optional<std::string> serviceKeyWithDomain(const std::optional<std::string>& domain,
                                                           const std::optional<std::string>& type,
                                                           const std::optional<std::string>& name);
    static std::optional<std::string> serviceKeyForService(const KLTDnsSdService& service);
    // A helper with the service's parts, its key generated and its host name; nothing when domain,
    // type or name is missing.
    static std::optional<KLTBonjourServiceHelper> serviceHelperWithService(const KLTDnsSdService& service);

    void generateServiceKey();
    bool isEqualToService(const KLTDnsSdService& service) const;

    std::optional<std::string> domain;
    std::optional<std::string> type;
    std::optional<std::string> name;
    std::optional<std::string> serviceKey;
    std::optional<std::string> hostName;
};

}  // namespace kl
