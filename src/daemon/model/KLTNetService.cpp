#include "daemon/model/KLTNetService.h"

#include <cmath>
#include <cstdio>

namespace kl {

KLTNetService::KLTNetService(std::string domain, std::string type, std::string name, int port)
    : KLTDnsSdService(std::move(domain), std::move(type), name, port), hostConfiguredName_(std::move(name)) {}

std::string KLTNetService::configuredName() const {
    std::lock_guard lock(fieldsMutex());
    return hostNickname_.empty() ? hostConfiguredName_ : hostNickname_;
}

void KLTNetService::setServerID(const Value& serverID) {
    std::string text;
    if (auto s = serverID.asString()) {
        text = *s;
    } else if (auto i = serverID.asInt()) {
        text = std::to_string(*i);
    } else if (auto u = serverID.asUInt()) {
        text = std::to_string(*u);
    } else if (auto d = serverID.asDouble()) {
        // A JSON number with a fraction or beyond 64 bits: its integral part is the id.
        char digits[400];
        std::snprintf(digits, sizeof digits, "%.0f", std::trunc(*d));
        text = digits;
    } else {
        return;
    }
    set(hostServerID_, std::move(text));
}

void KLTNetService::addDiscoveredAddress(const sockaddr_storage& address) {
    std::lock_guard lock(fieldsMutex());
    addresses_.push_back(address);
}

std::vector<sockaddr_storage> KLTNetService::addresses() const {
    std::lock_guard lock(fieldsMutex());
    return addresses_;
}

std::string KLTNetService::description() const {
    std::lock_guard lock(fieldsMutex());
    return KLTDnsSdService::description() + " - nickname: " + hostNickname_ + " status: " +
           std::to_string(hostStatus_) + ", HostID: " + hostServerID_;
}

}  // namespace kl
