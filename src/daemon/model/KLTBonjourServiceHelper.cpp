#include "daemon/model/KLTBonjourServiceHelper.h"

#include "daemon/model/KLTDnsSdService.h"

namespace kl {

std::optional<std::string> KLTBonjourServiceHelper::serviceKeyWithDomain(const std::optional<std::string>& domain,
                                                                         const std::optional<std::string>& type,
                                                                         const std::optional<std::string>& name) {
    if (!domain || !type || !name) return std::nullopt;
    return *domain + "~" + *type + "~" + *name;
}

std::optional<std::string> KLTBonjourServiceHelper::serviceKeyForService(const KLTDnsSdService& service) {
    return serviceKeyWithDomain(service.domain(), service.type(), service.name());
}

std::optional<KLTBonjourServiceHelper> KLTBonjourServiceHelper::serviceHelperWithService(
    const KLTDnsSdService& service) {
    KLTBonjourServiceHelper helper;
    helper.domain = service.domain();
    helper.type = service.type();
    helper.name = service.name();
    if (!helper.domain || !helper.type || !helper.name) return std::nullopt;
    helper.generateServiceKey();
    helper.hostName = service.hostName();
    return helper;
}

void KLTBonjourServiceHelper::generateServiceKey() { serviceKey = serviceKeyWithDomain(domain, type, name); }

bool KLTBonjourServiceHelper::isEqualToService(const KLTDnsSdService& service) const {
    return serviceKey && serviceKey == serviceKeyForService(service);
}

}  // namespace kl
