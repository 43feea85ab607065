#include "tunnel/protocol/TunnexAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "tunnel/TunnexUtilities.h"

namespace kl {

namespace {
const sockaddr_in& asIPv4(const sockaddr_storage& storage) { return reinterpret_cast<const sockaddr_in&>(storage); }
}  // namespace

TunnexAddress::TunnexAddress() {
    std::memset(&address_, 0, sizeof address_);
    std::memset(&netmask_, 0, sizeof netmask_);
}

TunnexAddress::TunnexAddress(const sockaddr_storage& address, uint16_t port, bool externalAddress)
    : TunnexAddress() {
    address_ = address;
    port_ = port;
    externalAddress_ = externalAddress;
}

bool TunnexAddress::isEqual(const TunnexAddress& other) const { return isEqualToAddress(other) && port_ == other.port_; }

bool TunnexAddress::isEqualToAddress(const TunnexAddress& other) const {
    return asIPv4(address_).sin_addr.s_addr == asIPv4(other.address_).sin_addr.s_addr;
}

std::string TunnexAddress::description() const {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "<TunnexAddress: %p>", static_cast<const void*>(this));
    const sockaddr_in& ipv4 = asIPv4(address_);
    return std::string(prefix) + " address: " + AddressString(&ipv4).value_or("") +
           " port: " + std::to_string(ntohs(ipv4.sin_port));
}

}  // namespace kl
