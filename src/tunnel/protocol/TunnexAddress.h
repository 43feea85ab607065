// src/tunnel/protocol: the wire formats (rendezvous, hole punch, main channel, datagrams) and the
// pure decisions of the handshakes and the data-channel pairing; no sockets, no threads.
//
// One candidate address of a remote machine: an IPv4 socket address and its port.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace kl {

// A value: copies share no storage.
class TunnexAddress {
public:
    TunnexAddress();  // all zero
    // port is the socket address's port in host byte order.
    TunnexAddress(const sockaddr_storage& address, uint16_t port, bool externalAddress);

    // An IPv4 socket address: sin_port in network order; bytes beyond sin_addr carry no meaning.
    const sockaddr_storage& address() const { return address_; }
    void setAddress(const sockaddr_storage& address) { address_ = address; }
    // Carried along with the record; nothing reads it.
    const sockaddr_storage& netmask() const { return netmask_; }
    void setNetmask(const sockaddr_storage& netmask) { netmask_ = netmask; }
    uint16_t port() const { return port_; }
    void setPort(uint16_t port) { port_ = port; }
    bool externalAddress() const { return externalAddress_; }
    void setExternalAddress(bool external) { externalAddress_ = external; }

    // Same IPv4 address and same port field; netmask and external flag are not compared.
    bool isEqual(const TunnexAddress& other) const;
    bool operator==(const TunnexAddress& other) const { return isEqual(other); }
    // Same IPv4 address, whatever the ports.
    bool isEqualToAddress(const TunnexAddress& other) const;

    // "<TunnexAddress: 0x...> address: a.b.c.d port: n" with the socket address's own port.
    std::string description() const;

private:
    sockaddr_storage address_;
    sockaddr_storage netmask_;
    uint16_t port_ = 0;
    bool externalAddress_ = false;
};

}  // namespace kl
