// TunnexPeer's address utilities: the local interface list of the pings, address tokens, address
// texts, and the connect request's plaintext.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstring>

#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexBase32.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexContext.h"

namespace kl {

bool TunnexPeer::isTunnexInterfaceName(const std::string& name) {
    // Wired and wireless interfaces under their classic and their predictable Linux names.
    return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

std::vector<TunnexAddress> TunnexPeer::newArrayOfInterfaceAddressesOfFamily(int family) {
    std::vector<TunnexAddress> addresses;
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return addresses;
    for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !entry->ifa_name) continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
        if (!isTunnexInterfaceName(entry->ifa_name)) continue;
        const int entryFamily = entry->ifa_addr->sa_family;
        sockaddr_storage address{};
        if (entryFamily == AF_INET && (family == 0 || family == AF_INET)) {
            std::memcpy(&address, entry->ifa_addr, sizeof(sockaddr_in));
        } else if (entryFamily == AF_INET6 && (family == 0 || family == AF_INET6)) {
            std::memcpy(&address, entry->ifa_addr, sizeof(sockaddr_in6));
        } else {
            continue;
        }
        addresses.emplace_back(address, 0, false);
    }
    ::freeifaddrs(interfaces);
    return addresses;
}

std::optional<std::string> TunnexPeer::tokenStringFromAddress(const TunnexAddress* address) {
    if (!address || address->address().ss_family != AF_INET) return std::nullopt;
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(&address->address());
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) return std::nullopt;
    return std::string(text);
}

std::optional<TunnexAddress> TunnexPeer::addressFromTokenString(const std::string& token) {
    sockaddr_storage storage{};
    in_addr ipv4{};
    if (inet_pton(AF_INET, token.c_str(), &ipv4) == 1) {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(kTokenPort);
        address->sin_addr = ipv4;
        return TunnexAddress(storage, kTokenPort, false);
    }
    // A base-32 token: '*', the address bytes, and the exclusive-or of all bytes before it.
    const Bytes bytes = fromBase32(token);
    if (bytes.size() != 6 && bytes.size() != 18) return std::nullopt;
    if (bytes[0] != 0x2A) return std::nullopt;
    uint8_t check = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) check ^= bytes[i];
    if (check != bytes.back()) return std::nullopt;
    if (bytes.size() == 6) {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(kTokenPort);
        std::memcpy(&address->sin_addr, &bytes[1], 4);
    } else {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(kTokenPort);
        std::memcpy(&address->sin6_addr, &bytes[1], 16);
    }
    return TunnexAddress(storage, kTokenPort, false);
}

sockaddr_in TunnexPeer::sockaddrFromAddrPortString(const std::string& text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) address.sin_addr.s_addr = 0;
    if (colon != std::string::npos) {
        // The integer value of the rest: leading digits, anything else reads as 0.
        long port = std::strtol(text.c_str() + colon + 1, nullptr, 10);
        address.sin_port = htons(uint16_t(port));
    }
    return address;
}

std::string TunnexPeer::localMachineUUID() { return TunnexContext::processDefault()->machineUUID(); }

void TunnexPeer::setLocalMachineUUID(std::string uuid) { TunnexContext::processDefault()->setMachineUUID(std::move(uuid)); }

Bytes TunnexPeer::tunnexConnectMessageWithPeerID(uint64_t peerId, uint64_t transactionId) {
    return connectMessageFor(localMachineUUID(), peerId, transactionId);
}

Bytes TunnexPeer::connectMessageFor(const std::string& uuid, uint64_t peerId, uint64_t transactionId) {
    bool truncated = false;
    Bytes message = tunnexConnectPlaintext(peerId, transactionId, uuid, &truncated);
    if (truncated) KLLog(kKLTLoggingLevelDebug, "using UUID beyond protocol storage limit");
    return message;
}

}  // namespace kl
