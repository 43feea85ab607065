// The proxy socket record and its negotiators. Internal to the core's proxy layer (Proxy.h).
// Every field is guarded by the core lock, which every operation requires (see OSXSel.h).
#pragma once

#include <memory>
#include <string>

#include "tunnel/sockcore/Proxy.h"
#include "tunnel/sockcore/bufchain.h"

namespace kl {

// The change a negotiator is told about.
enum : int {
    PROXY_CHANGE_NEW = -1,
    PROXY_CHANGE_CLOSING = 0,
    PROXY_CHANGE_SENT = 1,
    PROXY_CHANGE_RECEIVE = 2,
    PROXY_CHANGE_ACCEPTING = 3,
};

// Negotiation states: not started, connected through; positive values are a negotiator's steps.
enum : int {
    PROXY_STATE_NEW = -1,
    PROXY_STATE_ACTIVE = 0,
};

// The most a proxy may send before its reply is complete; a longer reply is refused.
inline constexpr size_t kProxyReplyLimit = 16384;

class ProxySocket;
using proxy_negotiate_fn = int (*)(ProxySocket* p, int change);

class ProxySocket final : public Socket, public Plug, public std::enable_shared_from_this<ProxySocket> {
public:
    static std::shared_ptr<ProxySocket> create(const PlugPtr& owner, SockAddrPtr remoteAddr, const char* hostname,
                                               int remotePort, const ProxyConfig& cfg);

    // Socket, for the owner.
    std::shared_ptr<Plug> plug(std::shared_ptr<Plug> p) override;
    void close() override;
    void closeWhenDrained() override;
    int write(const void* data, int len) override;
    int writeOob(const void* data, int len) override;
    void flush() override;
    void setFrozen(bool isFrozen) override;
    const char* socketError() override;
    void whenRoom(RoomCallback done) override;

    // Plug, for the connection to the proxy.
    void log(int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode) override;
    int closing(const char* errorText, int errorCode, int callingBack) override;
    int receive(int urgent, const char* data, int len) override;
    void sent(int bufsize) override;
    int accepting(int fd) override;

    // For the negotiators.
    void activate();
    // Reports a failure to the owner once; the record then ignores the proxy until closed.
    int fail(const std::string& text, int code);
    // Hands the stored closing or accepting event to the owner.
    int passClosing();
    int passAccepting();
    void send(const std::string& bytes);

    std::string error;  // empty while healthy
    SocketPtr sub_socket;
    std::weak_ptr<Plug> owner;
    SockAddrPtr remote_addr;
    std::string remote_hostname;
    int remote_port = 0;
    bufchain pending_output_data;
    bufchain pending_oob_output_data;
    bufchain pending_input_data;
    bool pending_flush = false;
    int state = PROXY_STATE_NEW;
    bool freeze = false;
    proxy_negotiate_fn negotiate = nullptr;
    // The last events from the proxy connection, kept for the negotiator.
    std::string closing_error_msg;
    bool closing_has_msg = false;
    int closing_error_code = 0;
    int receive_urgent = 0;
    int sent_bufsize = 0;
    int accepting_fd = -1;
    ProxyConfig cfg;

private:
    ProxySocket() = default;
    void deliverPendingInput();

    std::shared_ptr<ProxySocket> self_;  // the open record's own reference, dropped by close()
    bool closed_ = false;
    bool failed_ = false;
    std::string failure_;  // the text handed to the owner's closing(); kept while the record lives
};

int proxy_http_negotiate(ProxySocket* p, int change);
int proxy_socks4_negotiate(ProxySocket* p, int change);
int proxy_socks5_negotiate(ProxySocket* p, int change);
int proxy_telnet_negotiate(ProxySocket* p, int change);

}  // namespace kl
