// The proxy dialogues: HTTP CONNECT, SOCKS 4 (and 4A for names), telnet. Each reads only what the
// proxy has sent so far (the record's pending input) and never more than it holds.
#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <optional>
#include <vector>

#include "tunnel/sockcore/ProxySocket.h"

namespace kl {
namespace {

// Four Base64 characters for up to three bytes (RFC 4648, "=" padding).
void base64_encode_atom(const unsigned char* data, int n, char* out) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned word = unsigned(data[0]) << 16;
    if (n > 1) word |= unsigned(data[1]) << 8;
    if (n > 2) word |= data[2];
    out[0] = alphabet[(word >> 18) & 0x3f];
    out[1] = alphabet[(word >> 12) & 0x3f];
    out[2] = n > 1 ? alphabet[(word >> 6) & 0x3f] : '=';
    out[3] = n > 2 ? alphabet[word & 0x3f] : '=';
}

std::string base64(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        char atom[4];
        base64_encode_atom(reinterpret_cast<const unsigned char*>(text.data() + i), int(std::min<size_t>(3, text.size() - i)), atom);
        out.append(atom, 4);
    }
    return out;
}

std::string pendingText(ProxySocket* p, size_t length) {
    std::string text(length, '\0');
    bufchain_fetch(&p->pending_input_data, text.data(), length);
    return text;
}

// The length of the first line of the pending input (with its "\n"), or 0 while it is incomplete.
size_t firstLineLength(ProxySocket* p) {
    size_t available = std::min(bufchain_size(&p->pending_input_data), kProxyReplyLimit);
    std::string text = pendingText(p, available);
    size_t newline = text.find('\n');
    return newline == std::string::npos ? 0 : newline + 1;
}

bool tooLongWithoutLine(ProxySocket* p) { return bufchain_size(&p->pending_input_data) >= kProxyReplyLimit; }

// The rest of an "HTTP/<major>.<minor> <rest>" status line; false when the line is no such thing.
bool parseStatusLine(const std::string& line, std::string* rest) {
    if (line.compare(0, 5, "HTTP/") != 0) return false;
    size_t i = 5;
    auto digits = [&] {
        size_t start = i;
        while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
        return i > start;
    };
    if (!digits() || i >= line.size() || line[i] != '.') return false;
    ++i;
    if (!digits()) return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    *rest = line.substr(i);
    while (!rest->empty() && (rest->back() == '\n' || rest->back() == '\r')) rest->pop_back();
    return true;
}

// Host text for an HTTP authority: IPv6 literals go in brackets.
std::string authorityHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Closing, sent and accepting while waiting for the proxy are alike in every dialogue, and any
// other change is unexpected. Nothing for received bytes, which the dialogue itself reads.
std::optional<int> commonChange(ProxySocket* p, int change) {
    switch (change) {
    case PROXY_CHANGE_CLOSING: return p->passClosing();
    case PROXY_CHANGE_SENT: return 0;
    case PROXY_CHANGE_ACCEPTING: return p->passAccepting();
    case PROXY_CHANGE_RECEIVE: return std::nullopt;
    default: return p->fail("Proxy error: unexpected proxy error", PROXY_ERROR_UNEXPECTED);
    }
}

}  // namespace

int proxy_http_negotiate(ProxySocket* p, int change) {
    if (p->state == PROXY_STATE_NEW && change == PROXY_CHANGE_NEW) {
        std::string host = authorityHost(sk_getaddr(p->remote_addr));
        std::string port = std::to_string(p->remote_port);
        std::string request = "CONNECT " + host + ":" + port + " HTTP/1.1\r\nHost: " + host + ":" + port + "\r\n";
        if (!p->cfg.proxy_username.empty() || !p->cfg.proxy_password.empty())
            request += "Proxy-Authorization: Basic " + base64(p->cfg.proxy_username + ":" + p->cfg.proxy_password) + "\r\n";
        request += "\r\n";
        p->state = 1;
        p->send(request);
        return 0;
    }
    if (auto result = commonChange(p, change)) return *result;

    if (p->state == 1) {
        size_t length = firstLineLength(p);
        if (length == 0) return tooLongWithoutLine(p) ? p->fail("Proxy error: HTTP response was absent", PROXY_ERROR_GENERAL) : 1;
        std::string line = pendingText(p, length);
        bufchain_consume(&p->pending_input_data, length);
        std::string status;
        if (!parseStatusLine(line, &status)) return p->fail("Proxy error: HTTP response was absent", PROXY_ERROR_GENERAL);
        if (status.empty() || status[0] != '2') return p->fail("Proxy error: " + status, PROXY_ERROR_GENERAL);
        p->state = 2;
    }
    // Header lines are skipped up to the empty line that ends the reply.
    while (p->state == 2) {
        size_t length = firstLineLength(p);
        if (length == 0) return tooLongWithoutLine(p) ? p->fail("Proxy error: HTTP response header too long", PROXY_ERROR_GENERAL) : 1;
        std::string line = pendingText(p, length);
        bufchain_consume(&p->pending_input_data, length);
        if (line == "\r\n" || line == "\n") p->activate();
    }
    return 1;
}

int proxy_socks4_negotiate(ProxySocket* p, int change) {
    if (p->state == PROXY_STATE_NEW && change == PROXY_CHANGE_NEW) {
        int type = sk_addrtype(p->remote_addr);
        if (type == ADDRTYPE_IPV6) return p->fail("Proxy error: SOCKS version 4 does not support IPv6", PROXY_ERROR_GENERAL);
        std::string request;
        request += char(4);  // version
        request += char(1);  // CONNECT
        request += char((p->remote_port >> 8) & 0xff);
        request += char(p->remote_port & 0xff);
        if (type == ADDRTYPE_IPV4) {
            char address[4];
            sk_addrcopy(p->remote_addr, address);
            request.append(address, 4);
        } else {
            request.append("\0\0\0\1", 4);  // a name follows the user name (SOCKS 4A)
        }
        request += p->cfg.proxy_username;
        request += '\0';
        if (type != ADDRTYPE_IPV4) {
            request += sk_getaddr(p->remote_addr);
            request += '\0';
        }
        p->state = 1;
        p->send(request);
        return 0;
    }
    if (auto result = commonChange(p, change)) return *result;

    if (bufchain_size(&p->pending_input_data) < 8) return 1;  // the reply is not complete yet
    unsigned char reply[8];
    bufchain_fetch(&p->pending_input_data, reply, sizeof reply);
    if (reply[0] != 0) return p->fail("Proxy error: SOCKS proxy responded with unexpected reply code version", PROXY_ERROR_GENERAL);
    switch (reply[1]) {
    case 90:
        bufchain_consume(&p->pending_input_data, sizeof reply);
        p->activate();
        return 1;
    case 92: return p->fail("Proxy error: SOCKS server wanted IDENTD on client", PROXY_ERROR_GENERAL);
    case 93: return p->fail("Proxy error: Username and IDENTD on client don't agree", PROXY_ERROR_GENERAL);
    default: return p->fail("Proxy error: Error while communicating with proxy", PROXY_ERROR_GENERAL);
    }
}

int proxy_socks5_negotiate(ProxySocket* p, int) {
    // SOCKS 5 is not offered.
    return p->fail("Proxy error: Unexpected proxy error", PROXY_ERROR_UNEXPECTED);
}

int proxy_telnet_negotiate(ProxySocket* p, int change) {
    if (p->state == PROXY_STATE_NEW && change == PROXY_CHANGE_NEW) {
        p->state = 1;
        p->send(format_telnet_command(p->remote_addr, p->remote_hostname.c_str(), p->remote_port, p->cfg));
        return 0;
    }
    if (auto result = commonChange(p, change)) return *result;
    // The proxy's first words already belong to the destination: they reach the owner after this.
    p->activate();
    return 1;
}

std::string format_telnet_command(const SockAddrPtr& addr, const char* hostname, int port, const ProxyConfig& cfg) {
    (void)addr;
    const std::string& format = cfg.proxy_telnet_command;
    auto hexValue = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    auto startsWithWord = [&](size_t at, const char* word) {
        size_t n = std::strlen(word);
        if (format.size() - at < n) return false;
        for (size_t k = 0; k < n; ++k)
            if (std::tolower(static_cast<unsigned char>(format[at + k])) != word[k]) return false;
        return true;
    };
    std::string out;
    size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c == '\\' && i + 1 < format.size()) {
            char next = format[i + 1];
            switch (next) {
            case '\\': out += '\\'; i += 2; continue;
            case '%': out += '%'; i += 2; continue;
            case 'n': out += '\n'; i += 2; continue;
            case 'r': out += '\r'; i += 2; continue;
            case 't': out += '\t'; i += 2; continue;
            case 'x':
            case 'X':
                if (i + 3 < format.size() && hexValue(format[i + 2]) >= 0 && hexValue(format[i + 3]) >= 0) {
                    out += char(hexValue(format[i + 2]) * 16 + hexValue(format[i + 3]));
                    i += 4;
                    continue;
                }
                break;
            default: break;
            }
            out += c;  // an unknown escape keeps its backslash
            ++i;
            continue;
        }
        if (c == '%' && i + 1 < format.size()) {
            struct Word {
                const char* name;
                std::string value;
            };
            const Word words[] = {
                {"proxyhost", cfg.proxy_host},       {"proxyport", std::to_string(cfg.proxy_port)},
                {"host", hostname ? hostname : ""},  {"port", std::to_string(port)},
                {"user", cfg.proxy_username},         {"pass", cfg.proxy_password},
                {"%", "%"},
            };
            bool expanded = false;
            for (const auto& word : words) {
                if (startsWithWord(i + 1, word.name)) {
                    out += word.value;
                    i += 1 + std::strlen(word.name);
                    expanded = true;
                    break;
                }
            }
            if (expanded) continue;
        }
        out += c;
        ++i;
    }
    return out;
}

}  // namespace kl
