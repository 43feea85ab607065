// Connections through proxies: stand-in HTTP, SOCKS 4 and telnet proxies on loopback (written
// here, speaking the real dialogues over real sockets), a local proxy command, and proxies that
// refuse or answer badly.
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/eventfd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "SockcoreTestSupport.h"
#include "tunnel/sockcore/Proxy.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using test::PlugEvent;
using test::RecordingPlug;

const std::string kGreeting = "HELLO FROM DESTINATION\n";

bool waitReadable(int fd, int stopFd, int timeoutMs = 10000) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    return ::poll(fds, 2, timeoutMs) > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN);
}

// Reads until delimiter (or max bytes, or end of stream).
std::string readUntil(int fd, int stopFd, const std::string& delimiter, size_t max = 65536) {
    std::string text;
    char c;
    while (text.size() < max && waitReadable(fd, stopFd) && ::read(fd, &c, 1) == 1) {
        text += c;
        if (text.ends_with(delimiter)) break;
    }
    return text;
}

std::string readExactly(int fd, int stopFd, size_t n) {
    std::string text;
    char buffer[256];
    while (text.size() < n && waitReadable(fd, stopFd)) {
        ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, n - text.size()));
        if (got <= 0) break;
        text.append(buffer, size_t(got));
    }
    return text;
}

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += size_t(n);
    }
}

int connectToHost(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &result) != 0) return -1;
    int fd = -1;
    for (addrinfo* ai = result; ai && fd < 0; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(result);
    return fd;
}

// Copies bytes both ways until either side ends.
void relay(int a, int b, int stopFd) {
    char buffer[4096];
    while (true) {
        pollfd fds[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 3, 10000) <= 0 || (fds[2].revents & POLLIN)) return;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) return;
            writeAll(fds[1 - i].fd, std::string(buffer, size_t(n)));
        }
    }
}

// A loopback server that runs handler(client, stopFd) on a thread of its own per connection.
class StandInServer {
public:
    using Handler = std::function<void(int client, int stopFd)>;

    explicit StandInServer(Handler handler) : handler_(std::move(handler)) {
        listener_ = test::plainListener(AF_INET, &port_);
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        acceptor_ = std::thread([this] {
            while (waitReadable(listener_, stop_, -1)) {
                int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) continue;
                ++accepted_;
                std::lock_guard guard(mutex_);
                workers_.emplace_back([this, client] {
                    handler_(client, stop_);
                    ::close(client);
                });
            }
        });
    }
    ~StandInServer() {
        uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        acceptor_.join();
        for (auto& worker : workers_) worker.join();
        ::close(listener_);
        ::close(stop_);
    }
    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    // What a handler recorded as the proxy request.
    void record(std::string request) {
        std::lock_guard guard(mutex_);
        requests_.push_back(std::move(request));
    }
    std::vector<std::string> requests() {
        std::lock_guard guard(mutex_);
        return requests_;
    }

private:
    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    int stop_ = -1;
    std::atomic<int> accepted_{0};
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<std::string> requests_;
    std::thread acceptor_;
};

// The destination: greets, then echoes.
struct EchoDestination {
    StandInServer server{[](int client, int stopFd) {
        writeAll(client, kGreeting);
        char buffer[4096];
        while (waitReadable(client, stopFd)) {
            ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0) return;
            writeAll(client, std::string(buffer, size_t(n)));
        }
    }};
};

// The stand-in proxies: each reads the request of its dialogue, records it, connects to the
// destination it names and relays.
StandInServer::Handler httpProxy(StandInServer** self, std::string afterReply = "") {
    return [self, afterReply](int client, int stopFd) {
        std::string request = readUntil(client, stopFd, "\r\n\r\n");
        (*self)->record(request);
        // "CONNECT host:port HTTP/1.1"
        std::string target = request.substr(8, request.find(' ', 8) - 8);
        size_t colon = target.rfind(':');
        std::string host = target.substr(0, colon);
        if (host.starts_with("[")) host = host.substr(1, host.size() - 2);
        int destination = connectToHost(host, std::stoi(target.substr(colon + 1)));
        writeAll(client, "HTTP/1.1 200 Connection established\r\nProxy-Agent: stand-in\r\n\r\n" + afterReply);
        relay(client, destination, stopFd);
        ::close(destination);
    };
}

StandInServer::Handler socks4Proxy(StandInServer** self) {
    return [self](int client, int stopFd) {
        std::string request = readExactly(client, stopFd, 8);
        request += readUntil(client, stopFd, std::string(1, '\0'));  // user name
        bool named = request.size() >= 8 && request.compare(4, 3, std::string(3, '\0')) == 0 && request[7] != 0;
        std::string name = named ? readUntil(client, stopFd, std::string(1, '\0')) : "";
        (*self)->record(request + name);
        int port = (uint8_t(request[2]) << 8) | uint8_t(request[3]);
        char address[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, request.data() + 4, address, sizeof address);
        int destination = connectToHost(named ? name.substr(0, name.size() - 1) : address, port);
        writeAll(client, std::string("\0\x5a\0\0\0\0\0\0", 8));
        relay(client, destination, stopFd);
        ::close(destination);
    };
}

StandInServer::Handler telnetProxy(StandInServer** self) {
    return [self](int client, int stopFd) {
        std::string line = readUntil(client, stopFd, "\n");
        (*self)->record(line);
        char host[256] = {};
        int port = 0;
        std::sscanf(line.c_str(), "connect %255s %d", host, &port);
        int destination = connectToHost(host, port);
        relay(client, destination, stopFd);
        ::close(destination);
    };
}

ProxyConfig proxyConfig(int type, int port) {
    ProxyConfig cfg;
    cfg.proxy_type = type;
    cfg.proxy_host = "127.0.0.1";
    cfg.proxy_port = port;
    cfg.even_proxy_localhost = true;  // the destinations here are all on loopback
    return cfg;
}

SocketPtr connectThrough(const ProxyConfig& cfg, const std::string& host, int port, const std::shared_ptr<RecordingPlug>& plug) {
    std::string canonical;
    SockAddrPtr addr = name_lookup(host.c_str(), port, &canonical, cfg, ADDRTYPE_UNSPEC);
    EXPECT_EQ(sk_addr_error(addr), nullptr) << host;
    return test::underCoreLock([&] { return new_connection(addr, host.c_str(), port, false, false, false, false, plug, cfg); });
}

TEST(SockcoreProxy, ConnectionsGoThroughEveryKindOfProxy) {
    EchoDestination destination;
    int port = destination.server.port();
    auto relayScript = test::makeTempDir("proxy") / "relay.py";
    std::ofstream(relayScript) << "import socket, sys, threading\n"
                                  "s = socket.create_connection((sys.argv[1], int(sys.argv[2])))\n"
                                  "def up():\n"
                                  "    while data := sys.stdin.buffer.read1(4096): s.sendall(data)\n"
                                  "    s.shutdown(socket.SHUT_WR)\n"
                                  "threading.Thread(target=up, daemon=True).start()\n"
                                  "while data := s.recv(4096):\n"
                                  "    sys.stdout.buffer.write(data); sys.stdout.buffer.flush()\n";
    struct Case {
        const char* name;
        int type;
        std::function<StandInServer::Handler(StandInServer**)> handler;
        std::string host;
        std::string expectedRequest;
    };
    std::string p = std::to_string(port);
    std::string portBytes{char(port >> 8), char(port & 0xff)};
    const std::vector<Case> cases = {
        {"HTTP", PROXY_HTTP, [](StandInServer** s) { return httpProxy(s); }, "127.0.0.1",
         "CONNECT 127.0.0.1:" + p + " HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nProxy-Authorization: Basic " +
             "YW5uOm9wZW4gc2VzYW1l" + "\r\n\r\n"},
        {"HTTP, name resolved by the proxy", PROXY_HTTP, [](StandInServer** s) { return httpProxy(s); }, "localhost",
         "CONNECT localhost:" + p + " HTTP/1.1\r\nHost: localhost:" + p + "\r\nProxy-Authorization: Basic " +
             "YW5uOm9wZW4gc2VzYW1l" + "\r\n\r\n"},
        {"SOCKS 4", PROXY_SOCKS4, [](StandInServer** s) { return socks4Proxy(s); }, "127.0.0.1",
         std::string("\x04\x01", 2) + portBytes + std::string("\x7f\0\0\x01", 4) + "ann" + std::string(1, '\0')},
        {"telnet", PROXY_TELNET, [](StandInServer** s) { return telnetProxy(s); }, "127.0.0.1", "connect 127.0.0.1 " + p + "\n"},
        {"local command", PROXY_CMD, nullptr, "127.0.0.1", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StandInServer* proxy = nullptr;
        std::unique_ptr<StandInServer> owned;
        if (c.handler) {
            owned = std::make_unique<StandInServer>(c.handler(&proxy));
            proxy = owned.get();
        }
        ProxyConfig cfg = proxyConfig(c.type, proxy ? proxy->port() : 0);
        cfg.proxy_username = "ann";
        cfg.proxy_password = "open sesame";
        if (c.type == PROXY_CMD) cfg.proxy_telnet_command = "/usr/bin/python3 " + relayScript.string() + " %host %port";
        auto plug = std::make_shared<RecordingPlug>();
        SocketPtr s = connectThrough(cfg, c.host, port, plug);
        ASSERT_EQ(test::underCoreLock([&] { return s->socketError(); }), nullptr);
        test::underCoreLock([&] { return s->write("early words", 11); });  // held back until the proxy has connected through
        ASSERT_TRUE(test::waitFor([&] { return plug->received() == kGreeting + "early words"; })) << plug->received();
        test::underCoreLock([&] { return s->write(" and more", 9); });
        EXPECT_TRUE(test::waitFor([&] { return plug->received() == kGreeting + "early words and more"; })) << plug->received();
        for (const auto& e : plug->events()) EXPECT_TRUE(e.lockHeld);
        EXPECT_TRUE(plug->eventsOf(PlugEvent::Closing).empty());
        if (proxy) {
            EXPECT_EQ(proxy->requests(), std::vector<std::string>{c.expectedRequest});
        }
        test::underCoreLock([&] { return s->close(); });
    }
}

TEST(SockcoreProxy, RepliesAfterTheHandshakeReachAFrozenOwnerOnlyWhenItThaws) {
    EchoDestination destination;
    StandInServer* proxy = nullptr;
    StandInServer server(httpProxy(&proxy, "EARLY"));
    proxy = &server;
    auto plug = std::make_shared<RecordingPlug>();
    SocketPtr s = connectThrough(proxyConfig(PROXY_HTTP, server.port()), "127.0.0.1", destination.server.port(), plug);
    test::underCoreLock([&] { return s->setFrozen(true); });
    ASSERT_TRUE(test::waitFor([&] { return server.requests().size() == 1; }));
    std::this_thread::sleep_for(200ms);  // time for a wrong delivery to show
    EXPECT_EQ(plug->received(), "");
    test::underCoreLock([&] { return s->setFrozen(false); });
    ASSERT_TRUE(test::waitFor([&] { return plug->received() == "EARLY" + kGreeting; })) << plug->received();
    test::underCoreLock([&] { return s->close(); });
}

TEST(SockcoreProxy, ProxiesThatRefuseOrAnswerBadlyGiveTheirErrors) {
    struct Case {
        const char* name;
        int type;
        std::string reply;  // what the proxy answers to any request
        std::string text;   // the owner's closing text ("" for an orderly end)
        int code;
    };
    const std::vector<Case> cases = {
        {"HTTP refusal", PROXY_HTTP, "HTTP/1.1 407 Proxy Authentication Required\r\nX: y\r\n\r\n",
         "Proxy error: 407 Proxy Authentication Required", PROXY_ERROR_GENERAL},
        {"not HTTP", PROXY_HTTP, "SSH-2.0-OpenSSH_9.2\r\n", "Proxy error: HTTP response was absent", PROXY_ERROR_GENERAL},
        {"status line without end", PROXY_HTTP, std::string(20000, 'a'), "Proxy error: HTTP response was absent", PROXY_ERROR_GENERAL},
        {"header without end", PROXY_HTTP, "HTTP/1.0 200 OK\r\n" + std::string(20000, 'h'), "Proxy error: HTTP response header too long",
         PROXY_ERROR_GENERAL},
        {"HTTP proxy hangs up", PROXY_HTTP, "HTTP/1.1 200 OK\r\n", "", 0},
        {"SOCKS wrong version", PROXY_SOCKS4, std::string("\x05\x5a\0\0\0\0\0\0", 8),
         "Proxy error: SOCKS proxy responded with unexpected reply code version", PROXY_ERROR_GENERAL},
        {"SOCKS refusal", PROXY_SOCKS4, std::string("\0\x5b\0\0\0\0\0\0", 8), "Proxy error: Error while communicating with proxy",
         PROXY_ERROR_GENERAL},
        {"SOCKS identd", PROXY_SOCKS4, std::string("\0\x5c\0\0\0\0\0\0", 8), "Proxy error: SOCKS server wanted IDENTD on client",
         PROXY_ERROR_GENERAL},
        {"SOCKS user", PROXY_SOCKS4, std::string("\0\x5d\0\0\0\0\0\0", 8),
         "Proxy error: Username and IDENTD on client don't agree", PROXY_ERROR_GENERAL},
        {"SOCKS short reply", PROXY_SOCKS4, std::string("\0\x5a\0", 3), "", 0},
        {"SOCKS 5", PROXY_SOCKS5, "", "Proxy error: Unexpected proxy error", PROXY_ERROR_UNEXPECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StandInServer proxy([&](int client, int stopFd) {
            char buffer[512];
            if (waitReadable(client, stopFd, 2000)) (void)!::read(client, buffer, sizeof buffer);  // the request
            writeAll(client, c.reply);
            // then hang up
        });
        auto plug = std::make_shared<RecordingPlug>();
        SocketPtr s = connectThrough(proxyConfig(c.type, proxy.port()), "127.0.0.1", 9, plug);
        ASSERT_TRUE(plug->waitForKind(PlugEvent::Closing));
        std::this_thread::sleep_for(50ms);  // a second closing would show here
        auto closings = plug->eventsOf(PlugEvent::Closing);
        ASSERT_EQ(closings.size(), 1u);
        EXPECT_EQ(closings[0].text, c.text);
        EXPECT_EQ(closings[0].code, c.code);
        EXPECT_TRUE(closings[0].lockHeld);
        EXPECT_EQ(plug->received(), "");
        test::underCoreLock([&] { return s->close(); });
    }
}

TEST(SockcoreProxy, ConfigurationsThatCannotWorkSayWhy) {
    auto plug = std::make_shared<RecordingPlug>();
    ProxyConfig unknown = proxyConfig(9, 1080);
    SocketPtr s = connectThrough(unknown, "127.0.0.1", 80, plug);
    EXPECT_STREQ(test::underCoreLock([&] { return s->socketError(); }), "Proxy error: Unknown proxy method");
    test::underCoreLock([&] { return s->close(); });

    ProxyConfig unresolvable = proxyConfig(PROXY_HTTP, 8080);
    unresolvable.proxy_host = "";
    s = connectThrough(unresolvable, "127.0.0.1", 80, plug);
    EXPECT_STREQ(test::underCoreLock([&] { return s->socketError(); }), "Proxy error: Unable to resolve proxy host name");
    test::underCoreLock([&] { return s->close(); });

    ProxyConfig missingCommand = proxyConfig(PROXY_CMD, 0);
    missingCommand.proxy_telnet_command = "/no/such/program %host";
    s = connectThrough(missingCommand, "127.0.0.1", 80, plug);
    ASSERT_NE(test::underCoreLock([&] { return s->socketError(); }), nullptr);
    EXPECT_NE(std::string(test::underCoreLock([&] { return s->socketError(); })).find("No such file"), std::string::npos) << test::underCoreLock([&] { return s->socketError(); });
    test::underCoreLock([&] { return s->close(); });

    // SOCKS 4 carries no IPv6 address: the owner hears so, after it holds the socket.
    StandInServer proxy([](int, int) {});
    std::string canonical;
    ProxyConfig socks = proxyConfig(PROXY_SOCKS4, proxy.port());
    SockAddrPtr v6 = sk_namelookup("::1", &canonical, ADDRTYPE_IPV6);
    if (sk_addr_error(v6)) GTEST_SKIP() << "no IPv6 here";
    auto v6plug = std::make_shared<RecordingPlug>();
    s = test::underCoreLock([&] { return new_connection(v6, "::1", 22, false, false, false, false, v6plug, socks); });
    ASSERT_TRUE(v6plug->waitForKind(PlugEvent::Closing));
    EXPECT_EQ(v6plug->eventsOf(PlugEvent::Closing)[0].text, "Proxy error: SOCKS version 4 does not support IPv6");
    test::underCoreLock([&] { return s->close(); });
}

TEST(SockcoreProxy, LocalCommandsGetNoShellAndEndWithTheirConnection) {
    // A host name full of shell syntax stays one word of the command.
    auto dir = test::makeTempDir("cmd");
    auto marker = dir / "touched";
    ProxyConfig cfg = proxyConfig(PROXY_CMD, 0);
    cfg.proxy_telnet_command = "/bin/echo %host\\x21";
    auto plug = std::make_shared<RecordingPlug>();
    std::string host = "a;touch " + marker.string() + " b";
    SocketPtr s = test::underCoreLock([&] { return new_connection(sk_nonamelookup(host.c_str()), host.c_str(), 1, false, false, false, false, plug, cfg); });
    ASSERT_EQ(test::underCoreLock([&] { return s->socketError(); }), nullptr);
    ASSERT_TRUE(plug->waitForKind(PlugEvent::Closing));  // echo ends: the connection's orderly end
    EXPECT_EQ(plug->received(), host + "!\n");
    EXPECT_EQ(plug->eventsOf(PlugEvent::Closing)[0].code, 0);
    EXPECT_FALSE(std::filesystem::exists(marker));
    test::underCoreLock([&] { return s->close(); });

    // A command that never ends by itself is ended when its connection closes.
    cfg.proxy_telnet_command = "/bin/sleep 600";
    auto sleeper = test::underCoreLock([&] { return new_connection(sk_nonamelookup("h"), "h", 1, false, false, false, false, std::make_shared<RecordingPlug>(), cfg); });
    ASSERT_EQ(test::underCoreLock([&] { return sleeper->socketError(); }), nullptr);
    test::underCoreLock([&] { return sleeper->close(); });
    EXPECT_TRUE(test::waitFor([] { return ::system("pgrep -f '^/bin/sleep 600$' >/dev/null") != 0; }, 5000ms));

    // Writing to a command that has gone is a failure the owner hears of, not a SIGPIPE.
    cfg.proxy_telnet_command = "/bin/true";
    auto gonePlug = std::make_shared<RecordingPlug>();
    auto gone = test::underCoreLock([&] { return new_connection(sk_nonamelookup("h"), "h", 1, false, false, false, false, gonePlug, cfg); });
    ASSERT_TRUE(gonePlug->waitForKind(PlugEvent::Closing));
    std::string big(1 << 17, 'x');
    test::underCoreLock([&] { return gone->write(big.data(), int(big.size())); });
    EXPECT_TRUE(gonePlug->waitForKind(PlugEvent::Closing, 2));
    test::underCoreLock([&] { return gone->close(); });
}

TEST(SockcoreProxy, WhichDestinationsGoThroughTheProxy) {
    ProxyConfig cfg;
    cfg.proxy_type = PROXY_HTTP;
    cfg.proxy_exclude_list = "*.corp.example, 10.1.*  intranet";
    std::string canonical;
    SockAddrPtr tenOne = sk_namelookup("10.1.2.3", &canonical, ADDRTYPE_IPV4);
    SockAddrPtr tenTwo = sk_namelookup("10.2.0.1", &canonical, ADDRTYPE_IPV4);
    SockAddrPtr loop = sk_namelookup("127.0.0.1", &canonical, ADDRTYPE_IPV4);
    struct Case {
        SockAddrPtr addr;
        const char* host;
        bool proxied;
    };
    const std::vector<Case> cases = {
        {nullptr, "www.example.org", true},      {nullptr, "files.CORP.example", false}, {nullptr, "intranet.local", false},
        {nullptr, "myintranet", true},           {tenOne, "10.1.2.3", false},           {tenTwo, "build-server", true},
        {tenOne, "build-server", false},         {nullptr, "localhost", false},          {loop, "anything", false},
        {nullptr, "127.0.0.5", false},
    };
    for (const auto& c : cases) EXPECT_EQ(proxy_for_destination(c.addr, c.host, cfg), c.proxied) << c.host;
    cfg.even_proxy_localhost = true;
    EXPECT_TRUE(proxy_for_destination(loop, "localhost", cfg));

    // Names go to the proxy unresolved unless it cannot take them (SOCKS 4 under "automatic").
    struct Lookup {
        int type;
        int dns;
        const char* host;
        int addrtype;
    };
    ProxyConfig lookup;
    lookup.proxy_exclude_list = "direct.example";
    for (const auto& l : std::vector<Lookup>{{PROXY_HTTP, PROXY_DNS_AUTO, "far.example", ADDRTYPE_NAME},
                                             {PROXY_SOCKS4, PROXY_DNS_AT_PROXY, "far.example", ADDRTYPE_NAME},
                                             {PROXY_SOCKS4, PROXY_DNS_AUTO, "127.0.0.1", ADDRTYPE_IPV4},
                                             {PROXY_HTTP, PROXY_DNS_NEVER, "127.0.0.1", ADDRTYPE_IPV4},
                                             {PROXY_HTTP, PROXY_DNS_AT_PROXY, "localhost", ADDRTYPE_IPV4},
                                             {PROXY_NONE, PROXY_DNS_AT_PROXY, "127.0.0.1", ADDRTYPE_IPV4}}) {
        lookup.proxy_type = l.type;
        lookup.proxy_dns = l.dns;
        std::string name;
        SockAddrPtr addr = name_lookup(l.host, 80, &name, lookup, ADDRTYPE_IPV4);
        EXPECT_EQ(sk_addrtype(addr), l.addrtype) << l.host << " type " << l.type << " dns " << l.dns;
        if (l.addrtype == ADDRTYPE_NAME) {
            EXPECT_EQ(name, l.host);
        }
    }
}

TEST(SockcoreProxy, TelnetCommandEscapes) {
    ProxyConfig cfg;
    cfg.proxy_host = "gate";
    cfg.proxy_port = 23;
    cfg.proxy_username = "ann";
    cfg.proxy_password = "pw";
    struct Case {
        std::string format;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"connect %host %port\\n", "connect dest 4000\n"},
        {"%user:%pass@%proxyhost:%proxyport %% %HOST", "ann:pw@gate:23 % dest"},
        {"\\r\\t\\\\\\%\\x41\\X7a\\q\\x4", "\r\t\\%Az\\q\\x4"},
        {"%other %", "%other %"},
        {"trailing\\", "trailing\\"},
    };
    for (const auto& c : cases) {
        cfg.proxy_telnet_command = c.format;
        EXPECT_EQ(format_telnet_command(nullptr, "dest", 4000, cfg), c.expected) << c.format;
    }
}

}  // namespace
}  // namespace kl
