// What the socket core's connection entry points read of a configuration to decide whether, and
// how, an outgoing connection goes through a proxy.
#pragma once

#include <string>

#include "tunnel/sockcore/SockAddr.h"

namespace kl {

enum : int {
    PROXY_NONE = 0,
    PROXY_SOCKS4 = 1,
    PROXY_SOCKS5 = 2,
    PROXY_HTTP = 3,
    PROXY_TELNET = 4,
    PROXY_CMD = 5,  // a local command whose standard input and output carry the connection
};

// Where destination names are resolved.
enum : int {
    PROXY_DNS_AT_PROXY = 0,  // always by the proxy
    PROXY_DNS_NEVER = 1,     // always here
    PROXY_DNS_AUTO = 2,      // by the proxy, except for SOCKS 4 (which cannot carry names reliably)
};

// Every failure of a proxy reaches the owner's closing() with one of these codes.
enum : int {
    PROXY_ERROR_GENERAL = 8000,
    PROXY_ERROR_UNEXPECTED = 8001,
};

struct ProxyConfig {
    int proxy_type = PROXY_NONE;
    std::string proxy_host;  // at most 511 characters are used
    int proxy_port = 80;
    std::string proxy_username;
    std::string proxy_password;
    // Sent to a telnet proxy, or run as the local proxy command; see format_telnet_command.
    std::string proxy_telnet_command = "connect %host %port\\n";
    int proxy_dns = PROXY_DNS_AUTO;
    // Also proxy destinations on this machine (normally reached directly).
    bool even_proxy_localhost = false;
    // Destinations reached directly: host names or address texts, separated by blanks or commas;
    // "*.example.com" matches by suffix, "192.168.*" (or "192.168.") by prefix.
    std::string proxy_exclude_list;
    // The family the proxy's own host name is resolved in (ADDRTYPE_*).
    int addressfamily = ADDRTYPE_UNSPEC;
};

}  // namespace kl
