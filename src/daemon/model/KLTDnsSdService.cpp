#include "daemon/model/KLTDnsSdService.h"

#include <sys/socket.h>

#include "daemon/model/BonjourPlaceHolder.h"

namespace kl {

KLTDnsSdService::KLTDnsSdService(std::string domain, std::string type, std::string name, int port)
    : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)), port_(port) {}

std::optional<std::string> KLTDnsSdService::serviceTransportForServiceType(const std::string& type) {
    if (type.find(KLTTCPTransportTypeString) != std::string::npos) return KLTTCPTransportTypeString;
    if (type.find(KLTUDPTransportTypeString) != std::string::npos) return KLTUDPTransportTypeString;
    return std::nullopt;
}

int KLTDnsSdService::sockTypeForServiceType(const std::string& type) {
    auto transport = serviceTransportForServiceType(type);
    if (!transport) return 0;
    return *transport == KLTTCPTransportTypeString ? SOCK_STREAM : SOCK_DGRAM;
}

std::string KLTDnsSdService::serviceKey() const { return domain_ + "~" + type() + "~" + name(); }

std::string KLTDnsSdService::configuredName() const { return name() + " (Bonjour)"; }

bool KLTDnsSdService::connected() const { return BonjourPlaceHolder::placeHolderForKey(serviceKey())->connected(); }

void KLTDnsSdService::setConnected(bool connected) {
    BonjourPlaceHolder::placeHolderForKey(serviceKey())->setConnected(connected);
}

std::string KLTDnsSdService::description() const {
    return "<service " + domain_ + " " + type() + " " + name() + " port " + std::to_string(port_) + ">";
}

}  // namespace kl
