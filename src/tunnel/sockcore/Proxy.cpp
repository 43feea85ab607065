#include "tunnel/sockcore/Proxy.h"

#include <strings.h>

#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"
#include "tunnel/sockcore/ProxySocket.h"

namespace kl {
namespace {

bool endsWithIgnoringCase(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && strncasecmp(text.c_str() + text.size() - suffix.size(), suffix.c_str(), suffix.size()) == 0;
}

bool startsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

bool entryMatches(const std::string& entry, const std::string& name) {
    if (name.empty()) return false;
    if (entry[0] == '*') return endsWithIgnoringCase(name, entry.substr(1));
    std::string prefix = entry.back() == '*' ? entry.substr(0, entry.size() - 1) : entry;
    return startsWithIgnoringCase(name, prefix);
}

}  // namespace

bool proxy_for_destination(const SockAddrPtr& addr, const char* hostname, const ProxyConfig& cfg) {
    if (!cfg.even_proxy_localhost && (sk_hostname_is_local(hostname) || (addr && sk_address_is_local(addr)))) return false;
    std::string name = hostname ? hostname : "";
    std::string numeric;
    if (addr && sk_addrtype(addr) != ADDRTYPE_NAME) numeric = sk_getaddr(addr).substr(0, 63);
    const std::string& list = cfg.proxy_exclude_list;
    size_t i = 0;
    while (i < list.size()) {
        size_t start = list.find_first_not_of(" \t,", i);
        if (start == std::string::npos) break;
        size_t end = list.find_first_of(" \t,", start);
        std::string entry = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (entryMatches(entry, name) || entryMatches(entry, numeric)) return false;
        i = end == std::string::npos ? list.size() : end;
    }
    return true;
}

SockAddrPtr name_lookup(const char* host, int port, std::string* canonical, const ProxyConfig& cfg, int address_family) {
    bool atProxy = cfg.proxy_dns == PROXY_DNS_AT_PROXY || (cfg.proxy_dns == PROXY_DNS_AUTO && cfg.proxy_type != PROXY_SOCKS4);
    if (cfg.proxy_type != PROXY_NONE && atProxy && proxy_for_destination(nullptr, host, cfg)) {
        if (canonical) *canonical = host ? host : "";
        return sk_nonamelookup(host);
    }
    return name_lookup(host, port, canonical, address_family);
}

SocketPtr new_connection(SockAddrPtr addr, const char* hostname, int port, bool privport, bool oobinline, bool nodelay,
                         bool keepalive, const PlugPtr& plug, const ProxyConfig& cfg) {
    assertCoreLockHeld("new_connection");
    if (cfg.proxy_type == PROXY_NONE || !proxy_for_destination(addr, hostname, cfg))
        return new_connection(std::move(addr), hostname, port, privport, oobinline, nodelay, keepalive, plug);
    if (auto local = platform_new_connection(addr, hostname, port, privport, oobinline, nodelay, keepalive, plug, cfg)) return local;

    auto p = ProxySocket::create(plug, std::move(addr), hostname, port, cfg);
    switch (cfg.proxy_type) {
    case PROXY_HTTP: p->negotiate = proxy_http_negotiate; break;
    case PROXY_SOCKS4: p->negotiate = proxy_socks4_negotiate; break;
    case PROXY_SOCKS5: p->negotiate = proxy_socks5_negotiate; break;
    case PROXY_TELNET: p->negotiate = proxy_telnet_negotiate; break;
    default: p->error = "Proxy error: Unknown proxy method"; return p;
    }
    std::string proxyHost = cfg.proxy_host.substr(0, 511);
    std::string canonical;
    SockAddrPtr proxyAddr = sk_namelookup(proxyHost.c_str(), &canonical, cfg.addressfamily);
    if (sk_addr_error(proxyAddr)) {
        p->error = "Proxy error: Unable to resolve proxy host name";
        return p;
    }
    p->sub_socket = sk_new(std::move(proxyAddr), cfg.proxy_port, privport, oobinline, nodelay, keepalive, p);
    if (p->sub_socket->socketError()) return p;  // the owner sees the connection's error
    p->sub_socket->setFrozen(false);
    p->negotiate(p.get(), PROXY_CHANGE_NEW);
    return p;
}

}  // namespace kl
