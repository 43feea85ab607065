#include "daemon/model/PWRunningService.h"

namespace kl {

bool PWRunningService::isEqualToService(const PWRunningService& other) const {
    return serviceName == other.serviceName && servicePath == other.servicePath &&
           static_cast<uint32_t>(pid) == static_cast<uint32_t>(other.pid);
}

Value PWRunningService::toValue() const {
    Array names(serviceNames.begin(), serviceNames.end());
    Dictionary d{{"serviceName", serviceName},
                 {"servicePath", servicePath},
                 {"serviceVersion", serviceVersion},
                 {"serviceNames", std::move(names)}};
    if (requiresUniversalAccess) d.set("requiresUniversalAccess", *requiresUniversalAccess);
    d.set("pid", pid);
    return d;
}

const std::vector<PWRunningService>& builtInServices() {
    static const std::vector<PWRunningService> services = [] {
        const std::pair<const char*, const char*> table[] = {
            {"afpovertcp", "_afpovertcp._tcp"}, {"smb", "_smb._tcp"}, {"daap", "_daap._tcp"},
            {"home-sharing", "_home-sharing._tcp"}, {"ssh", "_ssh._tcp"}, {"ftp", "_ftp._tcp"},
            {"rfb", "_rfb._tcp"}, {"echo", "_echo._tcp"},
        };
        std::vector<PWRunningService> list;
        for (const auto& [shortName, type] : table)
            list.push_back({std::string(kPWServiceProgramPrefix) + shortName, "path", "1.0", {type}, std::nullopt, 0});
        return list;
    }();
    return services;
}

}  // namespace kl
