// TCP sockets of the socket core on loopback: connecting with fallback, listening, freezing,
// urgent data and the failures an owner must hear about.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <thread>

#include "SockcoreTestSupport.h"
#include "foundation/KLTLogging.h"
#include "tunnel/sockcore/SocketTable.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using test::PlugEvent;
using test::RecordingPlug;

// A core listener on 127.0.0.1 whose accepted descriptors are wrapped (frozen) for connPlug.
struct AcceptingListener {
    std::shared_ptr<RecordingPlug> listenerPlug = std::make_shared<RecordingPlug>();
    std::shared_ptr<RecordingPlug> connPlug = std::make_shared<RecordingPlug>();
    SocketPtr listener;
    std::mutex mutex;
    SocketPtr accepted;
    int port = 0;

    AcceptingListener() {
        listenerPlug->onAccept = [this](int fd) {
            auto s = sk_register(fd, connPlug);
            std::lock_guard<std::mutex> guard(mutex);
            accepted = s;
            return 0;
        };
        listener = test::underCoreLock([&] { return sk_newlistener("127.0.0.1", 0, listenerPlug, true, ADDRTYPE_IPV4); });
        port = test::portOf(sk_ossocket(listener));
    }
    ~AcceptingListener() {
        if (auto s = waitAccepted(0ms)) test::underCoreLock([&] { return s->close(); });
        test::underCoreLock([&] { return listener->close(); });
    }
    // A plain client connected to the listener (-1 on failure), and the core socket that took it.
    std::pair<int, SocketPtr> connectOne() {
        int client = test::plainConnect(AF_INET, port);
        return {client, client >= 0 ? waitAccepted() : nullptr};
    }
    SocketPtr waitAccepted(std::chrono::milliseconds timeout = 10s) {
        test::waitFor(
            [&] {
                std::lock_guard<std::mutex> guard(mutex);
                return accepted != nullptr;
            },
            timeout);
        std::lock_guard<std::mutex> guard(mutex);
        return accepted;
    }
};

TEST(SockcoreTcp, RefusedConnectIsLoggedThenReportedAsClosing) {
    auto plug = std::make_shared<RecordingPlug>();
    int port = 0;
    int holder = test::refusingPort(&port);
    auto s = test::underCoreLock([&] { return sk_new(sk_namelookup("127.0.0.1", nullptr, ADDRTYPE_UNSPEC), port, false, false, false, false, plug); });
    EXPECT_EQ(test::underCoreLock([&] { return s->socketError(); }), nullptr) << "the refusal comes after the connect was under way";
    ASSERT_TRUE(plug->waitForKind(PlugEvent::Closing));
    std::this_thread::sleep_for(50ms);

    auto events = plug->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, PlugEvent::Log);
    EXPECT_EQ(events[0].type, 0);
    EXPECT_EQ(events[1].kind, PlugEvent::Log);
    EXPECT_EQ(events[1].type, 1);
    EXPECT_EQ(events[1].code, ECONNREFUSED);
    EXPECT_EQ(events[1].text, strerrordesc_np(ECONNREFUSED));
    EXPECT_EQ(events[2].kind, PlugEvent::Closing);
    EXPECT_EQ(events[2].code, ECONNREFUSED);
    for (auto& e : events) EXPECT_TRUE(e.lockHeld);
    test::underCoreLock([&] { return s->close(); });
    test::underCoreLock([&] { return s->close(); });  // runs once
    ::close(holder);
}

// Runs body with "localhost" resolving to ::1 before 127.0.0.1 for this thread, bind-mounting a
// hosts file in a private mount namespace when the system's own lists 127.0.0.1 first.
void withLocalhostIpv6First(const std::function<void()>& body) {
    auto first = sk_namelookup("localhost", nullptr, ADDRTYPE_UNSPEC);
    if (sk_addrtype(first) == ADDRTYPE_IPV6 && first->ais->ai_next) {
        body();
        return;
    }
    int original = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (original < 0 || ::unshare(CLONE_NEWNS) != 0) {
        if (original >= 0) ::close(original);
        GTEST_SKIP() << "localhost does not resolve to ::1 first and no mount namespace is available";
    }
    auto hosts = test::makeTempDir("hosts") / "hosts";
    std::ofstream(hosts) << "::1 localhost\n127.0.0.1 localhost\n";
    bool mounted = ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   ::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    if (mounted) body();
    ::setns(original, CLONE_NEWNS);
    ::close(original);
    if (!mounted) GTEST_SKIP() << "cannot bind-mount a hosts file";
}

TEST(SockcoreTcp, LocalhostFallsBackFromIpv6ToIpv4) {
    withLocalhostIpv6First([] {
        int port = 0;
        int server = test::plainListener(AF_INET, &port);  // IPv4 only: ::1 refuses
        ASSERT_GE(server, 0);
        auto plug = std::make_shared<RecordingPlug>();
        std::string canonical;
        auto addr = sk_namelookup("localhost", &canonical, ADDRTYPE_UNSPEC);
        ASSERT_EQ(sk_addrtype(addr), ADDRTYPE_IPV6);
        EXPECT_FALSE(canonical.empty());
        auto s = test::underCoreLock([&] { return sk_new(addr, port, false, false, true, true, plug); });
        EXPECT_EQ(test::underCoreLock([&] { return s->socketError(); }), nullptr);

        int peer = test::plainAccept(server);
        ASSERT_GE(peer, 0) << "the IPv4 candidate connected";
        test::underCoreLock([&] { return s->write("over v4", 7); });
        char buf[16] = {};
        ASSERT_TRUE(test::waitFor([&] { return ::recv(peer, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT) == 7; }));
        EXPECT_EQ(std::string(buf, 7), "over v4");

        auto logs = plug->eventsOf(PlugEvent::Log);
        ASSERT_EQ(logs.size(), 3u);
        EXPECT_EQ(logs[0].type, 0);
        EXPECT_EQ(logs[1].type, 1);
        EXPECT_EQ(logs[1].code, ECONNREFUSED) << "::1 refused";
        EXPECT_EQ(logs[2].type, 0) << "then 127.0.0.1 was tried";
        EXPECT_TRUE(plug->eventsOf(PlugEvent::Closing).empty());
        test::underCoreLock([&] { return s->close(); });
        ::close(peer);
        ::close(server);
    });
}

TEST(SockcoreTcp, PrivilegedPortBindsBelow1024) {
    if (::geteuid() != 0) GTEST_SKIP() << "binding a port below 1024 needs root";
    int port = 0;
    int server = test::plainListener(AF_INET, &port);
    auto plug = std::make_shared<RecordingPlug>();
    auto s = test::underCoreLock([&] { return sk_new(sk_namelookup("127.0.0.1", nullptr, ADDRTYPE_IPV4), port, true, false, false, false, plug); });
    ASSERT_EQ(test::underCoreLock([&] { return s->socketError(); }), nullptr);
    int peer = test::plainAccept(server);
    ASSERT_GE(peer, 0);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ::getpeername(peer, reinterpret_cast<sockaddr*>(&from), &len);
    EXPECT_LT(ntohs(from.sin_port), 1024);
    EXPECT_GT(ntohs(from.sin_port), 0);
    test::underCoreLock([&] { return s->close(); });
    ::close(peer);
    ::close(server);
}

TEST(SockcoreTcp, FrozenAcceptedSocketDeliversOnlyAfterUnfreezing) {
    AcceptingListener server;
    ASSERT_EQ(test::underCoreLock([&] { return server.listener->socketError(); }), nullptr);
    int client = test::plainConnect(AF_INET, server.port);
    ASSERT_GE(client, 0);
    ASSERT_EQ(::send(client, "early bytes", 11, 0), 11);
    auto accepted = server.waitAccepted();
    ASSERT_NE(accepted, nullptr);

    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(server.connPlug->eventsOf(PlugEvent::Receive).empty()) << "a registered socket starts frozen";

    EXPECT_EQ(test::underCoreLock([&] { return accepted->write("pong", 4); }), 0) << "and writable";
    char buf[4];
    ASSERT_EQ(::recv(client, buf, 4, MSG_WAITALL), 4);

    test::underCoreLock([&] { return accepted->setFrozen(false); });
    ASSERT_TRUE(test::waitFor([&] { return server.connPlug->received() == "early bytes"; }));
    ASSERT_EQ(::send(client, " and later", 10, 0), 10);
    ASSERT_TRUE(test::waitFor([&] { return server.connPlug->received() == "early bytes and later"; }));

    test::underCoreLock([&] { return accepted->setFrozen(true); });
    ASSERT_EQ(::send(client, "!", 1, 0), 1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.connPlug->received(), "early bytes and later");
    test::underCoreLock([&] { return accepted->setFrozen(false); });
    ASSERT_TRUE(test::waitFor([&] { return server.connPlug->received() == "early bytes and later!"; }));

    ::shutdown(client, SHUT_WR);
    ASSERT_TRUE(server.connPlug->waitForKind(PlugEvent::Closing));
    auto closing = server.connPlug->eventsOf(PlugEvent::Closing)[0];
    EXPECT_EQ(closing.code, 0) << "an orderly end of stream";
    EXPECT_EQ(closing.text, "");
    ::close(client);
}

TEST(SockcoreTcp, UrgentDataReachesTheOwnerBeforeTheNormalDataAheadOfIt) {
    AcceptingListener server;
    auto [client, accepted] = server.connectOne();
    ASSERT_NE(accepted, nullptr);
    ASSERT_EQ(::send(client, "abc", 3, 0), 3);
    ASSERT_EQ(::send(client, "!", 1, MSG_OOB), 1);
    pollfd pfd{sk_ossocket(accepted), POLLPRI, 0};
    ASSERT_EQ(::poll(&pfd, 1, 10000), 1);

    test::underCoreLock([&] { return accepted->setFrozen(false); });
    ASSERT_TRUE(server.connPlug->waitForKind(PlugEvent::Receive, 2));
    auto receives = server.connPlug->eventsOf(PlugEvent::Receive);
    EXPECT_EQ(receives[0].type, URGENT_DATA);
    EXPECT_EQ(receives[0].text, "!");
    EXPECT_EQ(receives[1].type, URGENT_NONE);
    EXPECT_EQ(receives[1].text, "abc");
    ::close(client);
}

TEST(SockcoreTcp, InlineUrgentDataMarksTheBytesBeforeTheMark) {
    int port = 0;
    int server = test::plainListener(AF_INET, &port);
    auto plug = std::make_shared<RecordingPlug>();
    auto s = test::underCoreLock([&] { return sk_new(sk_namelookup("127.0.0.1", nullptr, ADDRTYPE_IPV4), port, false, true, false, false, plug); });
    test::underCoreLock([&] { return s->setFrozen(true); });
    int peer = test::plainAccept(server);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    ASSERT_EQ(::send(peer, "!", 1, MSG_OOB), 1);
    ASSERT_EQ(::send(peer, "def", 3, 0), 3);
    pollfd pfd{sk_ossocket(s), POLLPRI, 0};
    ASSERT_EQ(::poll(&pfd, 1, 10000), 1);

    test::underCoreLock([&] { return s->setFrozen(false); });
    ASSERT_TRUE(test::waitFor([&] { return plug->received() == "abc!def"; }));
    for (auto& e : plug->eventsOf(PlugEvent::Receive)) {
        bool beforeMark = e.text.find_first_of("!def") == std::string::npos;
        EXPECT_EQ(e.type, beforeMark ? URGENT_BEFORE_MARK : URGENT_NONE) << e.text;
    }
    test::underCoreLock([&] { return s->close(); });
    ::close(peer);
    ::close(server);
}

int connectFrom(const char* destination, int port, const char* source) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* dest = nullptr;
    if (::getaddrinfo(destination, std::to_string(port).c_str(), &hints, &dest) != 0) return -1;
    int fd = ::socket(dest->ai_family, SOCK_STREAM, 0);
    addrinfo* src = nullptr;
    bool ok = true;
    if (source) {
        ok = ::getaddrinfo(source, nullptr, &hints, &src) == 0 && ::bind(fd, src->ai_addr, src->ai_addrlen) == 0;
        if (src) ::freeaddrinfo(src);
    }
    ok = ok && ::connect(fd, dest->ai_addr, dest->ai_addrlen) == 0;
    ::freeaddrinfo(dest);
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A non-loopback address of this machine in family, or "".
std::string nonLoopbackAddress(int family) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return "";
    std::string found;
    for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != family || (i->ifa_flags & IFF_LOOPBACK)) continue;
        if (family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr)) continue;
        char text[INET6_ADDRSTRLEN];
        const void* raw = family == AF_INET6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr)
                                             : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
        if (::inet_ntop(family, raw, text, sizeof text)) found = text;
    }
    ::freeifaddrs(list);
    return found;
}

TEST(SockcoreTcp, LoopbackOnlyListenerKeepsOnlyLoopbackPeers) {
    std::string otherV4 = nonLoopbackAddress(AF_INET), otherV6 = nonLoopbackAddress(AF_INET6);
    struct Case {
        const char* listenOn;
        int family;
        std::string destination;
        std::string source;
        bool kept;
    } cases[] = {
        {"::", ADDRTYPE_IPV6, "::1", "", true},
        {"::", ADDRTYPE_IPV6, "127.0.0.1", "", false},  // arrives IPv4-mapped
        {"::", ADDRTYPE_IPV6, otherV6, otherV6, false},
        {"0.0.0.0", ADDRTYPE_IPV4, "127.0.0.2", "127.0.0.2", true},
        {"0.0.0.0", ADDRTYPE_IPV4, otherV4, otherV4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.listenOn) + " <- " + c.destination);
        if (c.destination.empty()) continue;  // no such address on this machine
        auto plug = std::make_shared<RecordingPlug>();
        auto listener = test::underCoreLock([&] { return sk_newlistener(c.listenOn, 0, plug, true, c.family); });
        ASSERT_EQ(test::underCoreLock([&] { return listener->socketError(); }), nullptr);
        int fd = connectFrom(c.destination.c_str(), test::portOf(sk_ossocket(listener)),
                             c.source.empty() ? nullptr : c.source.c_str());
        if (fd < 0) {
            test::underCoreLock([&] { return listener->close(); });
            continue;  // e.g. IPv6 sockets that take no IPv4 peers here
        }
        if (c.kept) {
            EXPECT_TRUE(plug->waitForKind(PlugEvent::Accepting));
        } else {
            char byte;
            pollfd pfd{fd, POLLIN, 0};
            EXPECT_EQ(::poll(&pfd, 1, 10000), 1);
            EXPECT_LE(::recv(fd, &byte, 1, 0), 0) << "closed without a word";
            EXPECT_TRUE(plug->eventsOf(PlugEvent::Accepting).empty());
        }
        ::close(fd);
        test::underCoreLock([&] { return listener->close(); });
    }
}

// Sockets this process holds open. (Whether a port still listens cannot be asked of a machine
// where other processes may take the port as soon as it is free.)
int openSockets() {
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec).string().rfind("socket:", 0) == 0) ++count;
    }
    return count;
}

TEST(SockcoreTcp, UnspecifiedFamilyListensOnBothFamiliesOnOnePort) {
    auto plug = std::make_shared<RecordingPlug>();
    int socketsBefore = openSockets();
    auto listener = test::underCoreLock([&] { return sk_newlistener(nullptr, 0, plug, true, ADDRTYPE_UNSPEC); });
    ASSERT_EQ(test::underCoreLock([&] { return listener->socketError(); }), nullptr);
    EXPECT_EQ(openSockets(), socketsBefore + 2);
    int port = test::portOf(sk_ossocket(listener));

    int v6 = test::plainConnect(AF_INET6, port);
    int v4 = test::plainConnect(AF_INET, port);
    EXPECT_GE(v6, 0);
    EXPECT_GE(v4, 0) << "the IPv4 companion listens on the same port";
    EXPECT_TRUE(plug->waitForKind(PlugEvent::Accepting, 2));
    ::close(v6);
    ::close(v4);

    test::underCoreLock([&] { return listener->close(); });
    EXPECT_EQ(openSockets(), socketsBefore) << "closing the listener closes its companion";
}

TEST(SockcoreTcp, FailingCompanionIsReturnedWithItsErrorAndTheIpv6SocketClosed) {
    int port = 0;
    int blocker = test::plainListener(AF_INET, &port);  // takes 127.0.0.1:port
    auto plug = std::make_shared<RecordingPlug>();
    int socketsBefore = openSockets();
    auto listener = test::underCoreLock([&] { return sk_newlistener(nullptr, port, plug, true, ADDRTYPE_UNSPEC); });
    ASSERT_NE(test::underCoreLock([&] { return listener->socketError(); }), nullptr);
    EXPECT_STREQ(test::underCoreLock([&] { return listener->socketError(); }), strerrordesc_np(EADDRINUSE));
    EXPECT_EQ(openSockets(), socketsBefore) << "the IPv6 socket was closed";
    test::underCoreLock([&] { return listener->close(); });
    ::close(blocker);
}

TEST(SockcoreTcp, FailedSendReachesTheOwnerThroughClosing) {
    AcceptingListener server;
    int client = test::plainConnect(AF_INET, server.port);
    auto accepted = server.waitAccepted();  // frozen: the core reads nothing of the reset
    ASSERT_NE(accepted, nullptr);
    linger hard{1, 0};
    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(client);  // resets the connection
    pollfd pfd{sk_ossocket(accepted), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 10000), 1);

    test::underCoreLock([&] { return accepted->write("into the void", 13); });
    ASSERT_TRUE(server.connPlug->waitForKind(PlugEvent::Closing));
    test::underCoreLock([&] { return accepted->write("more", 4); });
    std::this_thread::sleep_for(50ms);
    auto closings = server.connPlug->eventsOf(PlugEvent::Closing);
    ASSERT_EQ(closings.size(), 1u) << "reported once";
    EXPECT_TRUE(closings[0].code == ECONNRESET || closings[0].code == EPIPE) << closings[0].code;
    EXPECT_TRUE(closings[0].lockHeld);
    EXPECT_FALSE(accepted->waitForRoom(10ms)) << "a failed socket has no room";
}

// Closing once drained: what is queued still reaches a reader that comes late, then the end of
// stream (what the reader sends meanwhile is dropped, and does not reset the connection); with
// nothing queued it ends at once; a reader that resets ends it without waiting for the limit.
TEST(SockcoreTcp, ClosingOnceDrainedWritesEveryQueuedByteThenEndsTheStream) {
    for (size_t queued : {size_t(0), size_t(8) << 20}) {
        SCOPED_TRACE(queued);
        AcceptingListener server;
        int client = test::plainConnect(AF_INET, server.port);
        ASSERT_GE(client, 0);
        SocketPtr accepted = server.waitAccepted();
        ASSERT_NE(accepted, nullptr);
        test::underCoreLock([&] { return accepted->setFrozen(false); });
        std::string sent;
        for (size_t i = 0; i < queued; ++i) sent.push_back(test::streamByte(i));
        int backlog = 0;
        for (size_t offset = 0; offset < sent.size(); offset += 65536) {
            backlog = test::underCoreLock([&] { return accepted->write(sent.data() + offset, int(std::min<size_t>(65536, sent.size() - offset))); });
        }
        if (queued > 0) {
            ASSERT_GT(backlog, 0) << "the kernel took everything: nothing tests the drain";
        }
        test::underCoreLock([&] { return accepted->closeWhenDrained(); });
        // Only while it drains: a socket with nothing queued is closed at once, and what reaches a
        // closed socket is answered with a reset, as it should be.
        if (queued > 0) {
            ASSERT_EQ(::send(client, "late", 4, 0), 4);
        }
        {
            std::lock_guard<std::mutex> guard(server.mutex);
            server.accepted.reset();  // nobody holds it: it keeps itself until drained
        }
        accepted.reset();
        std::string got;
        char buffer[65536];
        for (;;) {
            pollfd p{client, POLLIN, 0};
            ASSERT_EQ(::poll(&p, 1, 10000), 1) << "no end of stream after " << got.size() << " bytes";
            ssize_t n = ::read(client, buffer, sizeof buffer);
            ASSERT_GE(n, 0);
            if (n == 0) break;
            got.append(buffer, size_t(n));
        }
        EXPECT_EQ(got.size(), sent.size());
        EXPECT_TRUE(got == sent);
        EXPECT_EQ(server.connPlug->received(), "") << "a draining socket reads nothing";
        ::close(client);
    }

    AcceptingListener server;
    int client = test::plainConnect(AF_INET, server.port);
    SocketPtr accepted = server.waitAccepted();
    ASSERT_NE(accepted, nullptr);
    std::string block(8 << 20, 'x');
    ASSERT_GT(test::underCoreLock([&] { return accepted->write(block.data(), int(block.size())); }), 0);
    test::underCoreLock([&] { return accepted->closeWhenDrained(); });
    linger hard{1, 0};
    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(client);  // resets the connection
    EXPECT_TRUE(test::waitFor([&] { return sk_ossocket(accepted) < 0; }, 10s)) << "a reset reader ends the drain";
}

TEST(SockcoreTcp, UnresolvedAddressIsAnErrorNotAnExit) {
    auto plug = std::make_shared<RecordingPlug>();
    auto s = test::underCoreLock([&] { return sk_new(sk_nonamelookup("unresolved.example"), 80, false, false, false, false, plug); });
    ASSERT_NE(test::underCoreLock([&] { return s->socketError(); }), nullptr);
    auto logs = plug->eventsOf(PlugEvent::Log);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[1].type, 1);
    EXPECT_EQ(logs[1].code, EAFNOSUPPORT);
    EXPECT_TRUE(plug->eventsOf(PlugEvent::Closing).empty()) << "a failure at once is left in the socket";
    test::underCoreLock([&] { return s->close(); });

    auto registered = test::underCoreLock([&] { return sk_register(-1, plug); });
    EXPECT_NE(test::underCoreLock([&] { return registered->socketError(); }), nullptr);
    test::underCoreLock([&] { return registered->close(); });
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(SockcoreTcp, AcceptBacksOffWhenDescriptorsRunOut) {
    auto plug = std::make_shared<RecordingPlug>();
    auto listener = test::underCoreLock([&] { return sk_newlistener("127.0.0.1", 0, plug, true, ADDRTYPE_IPV4); });
    int port = test::portOf(sk_ossocket(listener));
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    clearMemoryLog();

    // Use up every descriptor under a lowered limit, then connect.
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    int highest = ::dup(0);
    ::close(highest);
    rlimit lowered = saved;
    lowered.rlim_cur = rlim_t(highest + 16);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
    sockaddr_storage dest = test::loopbackAddress(AF_INET, port);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&dest), test::addressLength(dest)), 0);

    bool paused = test::waitFor([] { return memoryLogContains("pausing accepts"); });
    double before = cpuSeconds();
    std::this_thread::sleep_for(400ms);
    double cpu = cpuSeconds() - before;

    for (int fd : filler) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(paused);
    EXPECT_LT(cpu, 0.2) << "accepting spun while out of descriptors";
    EXPECT_TRUE(plug->waitForKind(PlugEvent::Accepting)) << "accepting resumes once descriptors are free";
    ::close(client);
    test::underCoreLock([&] { return listener->close(); });
}

TEST(SockcoreTcp, AddressRecords) {
    struct Case {
        const char* host;
        int type;
        bool local;
        const char* text;
    } cases[] = {
        {"127.0.0.1", ADDRTYPE_IPV4, true, "127.0.0.1"},
        {"127.1.2.3", ADDRTYPE_IPV4, true, "127.1.2.3"},
        {"::1", ADDRTYPE_IPV6, true, "::1"},
        {"::ffff:127.0.0.1", ADDRTYPE_IPV6, false, "::ffff:127.0.0.1"},
        {"192.0.2.7", ADDRTYPE_IPV4, false, "192.0.2.7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        std::string canonical = "untouched";
        auto addr = sk_namelookup(c.host, &canonical, ADDRTYPE_UNSPEC);
        ASSERT_EQ(sk_addr_error(addr), nullptr);
        EXPECT_EQ(canonical, c.host);
        EXPECT_EQ(sk_addrtype(addr), c.type);
        EXPECT_EQ(sk_address_is_local(addr), c.local);
        EXPECT_EQ(sk_getaddr(addr), c.text);
        char bytes[16] = {};
        sk_addrcopy(addr, bytes);
        char expected[16] = {};
        ::inet_pton(c.type == ADDRTYPE_IPV6 ? AF_INET6 : AF_INET, c.text, expected);
        EXPECT_EQ(std::memcmp(bytes, expected, c.type == ADDRTYPE_IPV6 ? 16 : 4), 0);
    }

    std::string canonical = "untouched";
    auto wrongFamily = sk_namelookup("::1", &canonical, ADDRTYPE_IPV4);
    EXPECT_NE(sk_addr_error(wrongFamily), nullptr);
    EXPECT_EQ(canonical, "untouched");

    auto name = sk_nonamelookup("far.example");
    EXPECT_EQ(sk_addrtype(name), ADDRTYPE_NAME);
    EXPECT_EQ(sk_getaddr(name), "far.example");
    EXPECT_FALSE(sk_address_is_local(name));

    for (const char* local : {"localhost", "::1", "127.0.0.1", "127.9"}) EXPECT_TRUE(sk_hostname_is_local(local)) << local;
    for (const char* remote : {"localhost.example", "128.0.0.1", "::2", ""}) EXPECT_FALSE(sk_hostname_is_local(remote)) << remote;
}

// A callback runs under the pass's lock and calls straight back into the core: an echo and a
// close of its own socket from inside receive().
TEST(SockcoreTcp, CallbackCallsStraightBackIntoTheCore) {
    AcceptingListener server;
    auto [client, accepted] = server.connectOne();
    ASSERT_NE(accepted, nullptr);
    std::atomic<bool> lockHeld{false};
    server.connPlug->onReceive = [&](const char* data, int len) {
        lockHeld = osxsel_write_lock_held();
        accepted->write(data, len);
        accepted->close();
    };
    test::underCoreLock([&] { accepted->setFrozen(false); });
    ASSERT_EQ(::send(client, "ping", 4, 0), 4);

    std::string echoed;
    char buffer[16];
    for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, 0)) > 0;) echoed.append(buffer, size_t(n));
    EXPECT_EQ(echoed, "ping") << "then the end of stream";
    EXPECT_TRUE(lockHeld);
    EXPECT_LT(sk_ossocket(accepted), 0);
    ::close(client);
}

// Without the lock, or taking it a second time, the core stops the process with a message instead
// of racing on its tables or deadlocking.
TEST(SockcoreLockDeathTest, MissingOrSecondAcquisitionAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto plug = std::make_shared<RecordingPlug>();
    EXPECT_DEATH(sk_register(-1, plug), "socket core lock: required but not held \\(sk_register\\)");
    SocketPtr s = test::underCoreLock([&] { return sk_register(-1, plug); });
    EXPECT_DEATH(s->write("x", 1), "required but not held \\(Socket::write\\)");
    EXPECT_DEATH(
        {
            SocketCoreLock outer;
            SocketCoreLock inner;
        },
        "socket core lock: taken again by the thread that holds it");
    test::underCoreLock([&] { s->close(); });
}

}  // namespace
}  // namespace kl
