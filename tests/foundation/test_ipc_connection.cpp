// klipc connections between real processes over real AF_UNIX sockets: messages and replies with
// the peer's credentials, interruption and recovery after a listener is killed, a client that goes
// away, cancel, a missing listener, hostile frames, socket activation, stale sockets, the two
// memory bounds (a peer that floods, a peer that does not read) and the listener's limits against
// silent, numerous and amplifying local clients.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "IPCMalformedFrames.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCConnectionLimits.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "foundation/ipc/IPCSession.h"
#include "foundation/ipc/KLIPCObjects.h"
#include "foundation/ipc/klipc.h"
#include "support/TestEnvironment.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Object = kl::ipc::ObjectRef;
namespace ipc = kl::ipc;
using ipc::test::closedByPeer;

constexpr auto kWait = 20s;

std::string uniqueService(const std::string& what) {
    static std::atomic<int> counter{0};
    return "com.kelvaro.test." + what + "." + std::to_string(getpid()) + "." + std::to_string(counter++);
}

bool runMainUntil(const std::function<bool()>& predicate, kl::Duration timeout = kWait) {
    return kl::mainLoop().runUntil(predicate, timeout);
}

// Lets the main loop run for a while, so that events that should not come get their chance.
void settle() { kl::mainLoop().runUntil([] { return false; }, 300ms); }

// The helper program, with its standard output read line by line.
class PeerProcess {
public:
    // Runs argv (argv[0] is the program) with stdout on a pipe; extraFd, when given, becomes fd 3.
    explicit PeerProcess(const std::vector<std::string>& argv, int extraFd = -1) {
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
        EXPECT_EQ(rc, 0) << std::strerror(rc);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }
    ~PeerProcess() {
        kill9();
        ::close(out_);
    }

    pid_t pid() const { return pid_; }

    // The next line that starts with prefix (other lines are skipped), or nothing at the timeout.
    std::optional<std::string> waitForLine(const std::string& prefix, std::chrono::milliseconds timeout = kWait) {
        auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            size_t newline;
            while ((newline = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                if (line.rfind(prefix, 0) == 0) return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, int(std::max<int64_t>(0, left.count()))) <= 0) {
                if (left.count() <= 0) return std::nullopt;
                continue;
            }
            char chunk[256];
            ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, size_t(n));
        }
    }

    void kill9() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

std::unique_ptr<PeerProcess> startListenerProcess(const std::string& service) {
    auto peer = std::make_unique<PeerProcess>(std::vector<std::string>{KLIPC_PEER_PATH, "listen", service});
    EXPECT_TRUE(peer->waitForLine("READY")) << "the helper did not start listening";
    return peer;
}

// Event kinds seen by a handler, from whatever thread it runs on.
struct EventLog {
    std::mutex mutex;
    std::vector<KLIPCMessageType> kinds;
    pid_t pid = 0;
    uid_t euid = uid_t(-1);

    void add(KLIPCMessageType kind) {
        std::lock_guard lock(mutex);
        kinds.push_back(kind);
    }
    std::vector<KLIPCMessageType> snapshot() {
        std::lock_guard lock(mutex);
        return kinds;
    }
    bool has(KLIPCMessageType kind) {
        auto k = snapshot();
        return std::find(k.begin(), k.end(), kind) != k.end();
    }
    klipc_handler_t handler(std::shared_ptr<EventLog> self) {
        return [self](KLIPCMessageType kind, klipc_object_t) { self->add(kind); };
    }
};

// A client connection with an event log; cancelled (waiting for its kind 2) and released at the end.
struct Client {
    explicit Client(const std::string& service) : connection(klipc_connection_create_client(service.c_str(), nullptr, true)) {
        klipc_connection_set_event_handler(connection, events->handler(events));
        klipc_connection_resume(connection);
    }
    ~Client() {
        klipc_connection_cancel(connection);
        EXPECT_TRUE(kl::test::waitFor([&] { return events->has(KLIPC_ERROR_CONNECTION_INVALID); }));
        klipc_release(connection);
    }
    std::shared_ptr<EventLog> events = std::make_shared<EventLog>();
    klipc_connection_t connection;
};

struct ReplyResult {
    int calls = 0;
    KLIPCMessageType type = 0;
    bool onMainLoop = false;
    Object reply;
};

Object message(const char* command) {
    Object m = Object::adopt(klipc_dictionary_create());
    klipc_dictionary_set_string(m.get(), "command", command);
    return m;
}

// Sends with a reply on the main queue; the result fills in as the main loop runs.
std::shared_ptr<ReplyResult> sendWithReply(klipc_connection_t connection, const Object& m) {
    auto result = std::make_shared<ReplyResult>();
    klipc_connection_send_message_with_reply(connection, m.get(), klipc_queue_main(),
                                             [result](KLIPCMessageType type, klipc_object_t reply) {
                                                 result->calls++;
                                                 result->type = type;
                                                 result->onMainLoop = kl::mainLoop().isCurrentThread();
                                                 result->reply = Object::retain(reply);
                                             });
    return result;
}

std::shared_ptr<ReplyResult> roundTrip(klipc_connection_t connection, const char* command = "echo") {
    auto result = sendWithReply(connection, message(command));
    EXPECT_TRUE(runMainUntil([&] { return result->calls > 0; })) << "no reply";
    return result;
}

// A listener in this process: answers every message with {"pid", "echo"}; records the kinds seen
// by the listener and by the connections it accepted.
class EchoListener {
public:
    explicit EchoListener(const std::string& service, klipc_queue_t queue = klipc_queue_main())
        : connection_(klipc_connection_create_listener(service.c_str(), queue)) {
        auto peers = peers_;
        klipc_connection_set_event_handler(connection_, [events = events_, peers](KLIPCMessageType kind, klipc_object_t object) {
            events->add(kind);
            if (kind != KLIPC_LISTENER_NEW_CONNECTION) return;
            {
                std::lock_guard lock(peers->mutex);
                peers->pid = klipc_connection_get_pid(object);
                peers->euid = klipc_connection_get_euid(object);
            }
            klipc_connection_set_event_handler(object, [peers](KLIPCMessageType kind, klipc_object_t m) {
                peers->add(kind);
                if (kind == KLIPC_OK)
                    klipc_send_reply(m, [m](klipc_object_t reply) {
                        klipc_dictionary_set_int64(reply, "pid", getpid());
                        klipc_dictionary_set_value(reply, "echo", m);
                    });
            });
            klipc_connection_resume(object);
        });
        klipc_connection_resume(connection_);
    }
    ~EchoListener() {
        klipc_connection_cancel(connection_);
        EXPECT_TRUE(runMainUntil([&] { return events_->has(KLIPC_ERROR_CONNECTION_INVALID); }));
        klipc_release(connection_);
    }

    klipc_connection_t get() const { return connection_; }
    std::shared_ptr<EventLog> events_ = std::make_shared<EventLog>();  // the listener's own
    std::shared_ptr<EventLog> peers_ = std::make_shared<EventLog>();   // all accepted connections

private:
    klipc_connection_t connection_;
};

size_t countOf(const std::vector<KLIPCMessageType>& kinds, KLIPCMessageType kind) {
    return size_t(std::count(kinds.begin(), kinds.end(), kind));
}

// A raw, blocking AF_UNIX connection to a service, for speaking bytes the library would not send.
int rawConnect(const std::string& service) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = ipc::socketPathForService(service).native();
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    return fd;
}

// A listening (or, with backlog 0, merely bound) socket at path.
int bindSocket(const std::filesystem::path& path, int backlog) {
    std::filesystem::create_directories(path.parent_path());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    if (backlog) {
        EXPECT_EQ(::listen(fd, backlog), 0);
    }
    return fd;
}

bool writeAll(int fd, const kl::Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

kl::Bytes encoded(ipc::FrameKind kind, uint64_t id, const kl::Value& body) {
    auto frame = ipc::encodeFrame(kind, id, body);
    EXPECT_TRUE(frame.ok());
    return frame.ok() ? *frame : kl::Bytes{};
}

TEST(KLIPCConnection, MessageAndReplyOnTheGivenQueueWithThePeersCredentials) {
    std::string service = uniqueService("echo");
    auto peer = startListenerProcess(service);
    Client client(service);

    Object m = message("echo");
    klipc_dictionary_set_uint64(m.get(), "code", 6);
    klipc_dictionary_set_int64(m.get(), "n", -5);
    klipc_dictionary_set_double(m.get(), "ratio", 0.5);
    klipc_dictionary_set_bool(m.get(), "flag", true);
    klipc_dictionary_set_data(m.get(), "authorization", "\0\1\2", 3);
    Object hosts = Object::adopt(klipc_array_create());
    Object host = Object::adopt(klipc_dictionary_create());
    klipc_dictionary_set_string(host.get(), "uuid", "HOST-1");
    klipc_array_append_value(hosts.get(), host.get());
    klipc_dictionary_set_value(m.get(), "hosts_array", hosts.get());

    auto result = sendWithReply(client.connection, m);
    ASSERT_TRUE(runMainUntil([&] { return result->calls > 0; }));
    ASSERT_EQ(result->type, KLIPC_OK);
    EXPECT_TRUE(result->onMainLoop);
    klipc_object_t reply = result->reply.get();
    klipc_object_t echo = klipc_dictionary_get_value(reply, "echo");
    EXPECT_EQ(klipc_dictionary_get_uint64(echo, "code"), 6u);
    EXPECT_EQ(klipc_dictionary_get_int64(echo, "code"), 0);  // the type travelled exactly
    EXPECT_EQ(klipc_dictionary_get_int64(echo, "n"), -5);
    EXPECT_EQ(klipc_dictionary_get_double(echo, "ratio"), 0.5);
    EXPECT_TRUE(klipc_dictionary_get_bool(echo, "flag"));
    size_t length = 0;
    const void* data = klipc_dictionary_get_data(echo, "authorization", &length);
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(std::memcmp(data, "\0\1\2", 3), 0);
    EXPECT_STREQ(klipc_dictionary_get_string(klipc_array_get_value(klipc_dictionary_get_value(echo, "hosts_array"), 0), "uuid"),
                 "HOST-1");

    // Both ends see the other's real process.
    EXPECT_EQ(klipc_dictionary_get_int64(reply, "peer_pid"), getpid());
    EXPECT_EQ(klipc_dictionary_get_uint64(reply, "peer_euid"), geteuid());
    EXPECT_EQ(klipc_dictionary_get_int64(reply, "pid"), peer->pid());
    EXPECT_EQ(klipc_connection_get_pid(client.connection), peer->pid());
    EXPECT_EQ(klipc_connection_get_euid(client.connection), geteuid());
    EXPECT_EQ(klipc_dictionary_get_remote_connection(reply), client.connection);
    EXPECT_EQ(klipc_dictionary_create_reply(reply), nullptr);  // a reply is not a request

    std::atomic<bool> barrierRan{false};
    klipc_connection_send_message(client.connection, message("echo").get());
    klipc_connection_send_barrier(client.connection, [&] { barrierRan = true; });
    EXPECT_TRUE(kl::test::waitFor([&] { return barrierRan.load(); }));
    EXPECT_TRUE(client.events->snapshot().empty());
}

TEST(KLIPCConnection, KilledListenerInterruptsOnceAndTheClientReconnects) {
    std::string service = uniqueService("killed");
    auto peer = startListenerProcess(service);
    Client client(service);
    ASSERT_EQ(roundTrip(client.connection)->type, KLIPC_OK);

    auto held = sendWithReply(client.connection, message("hold"));
    ASSERT_TRUE(peer->waitForLine("HELD"));
    peer->kill9();

    ASSERT_TRUE(runMainUntil([&] { return held->calls > 0; }));
    EXPECT_EQ(held->type, KLIPC_ERROR_CONNECTION_INTERRUPTED);
    EXPECT_EQ(held->reply.get(), nullptr);
    ASSERT_TRUE(kl::test::waitFor([&] { return client.events->has(KLIPC_ERROR_CONNECTION_INTERRUPTED); }));
    settle();
    EXPECT_EQ(held->calls, 1);
    EXPECT_EQ(client.events->snapshot(), std::vector<KLIPCMessageType>{KLIPC_ERROR_CONNECTION_INTERRUPTED});

    // The restarted listener replaces the dead one's socket; the same connection reaches it.
    auto restarted = startListenerProcess(service);
    auto again = roundTrip(client.connection);
    ASSERT_EQ(again->type, KLIPC_OK);
    EXPECT_EQ(klipc_dictionary_get_int64(again->reply.get(), "pid"), restarted->pid());
    EXPECT_EQ(klipc_connection_get_pid(client.connection), restarted->pid());
    EXPECT_EQ(client.events->snapshot(), std::vector<KLIPCMessageType>{KLIPC_ERROR_CONNECTION_INTERRUPTED});
}

// True when a process running as another user could run the helper (every folder on its path and
// the file itself open to others).
bool helperRunsAsOthers() {
    std::filesystem::path path = KLIPC_PEER_PATH;
    for (auto p = path; p != p.root_path(); p = p.parent_path()) {
        struct stat st;
        if (::stat(p.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
    }
    return true;
}

TEST(KLIPCConnection, ClientThatGoesAwayLeavesTheListenerKind2) {
    // As root, the client runs as nobody: the listener must see that user, not its own.
    bool otherUser = geteuid() == 0 && helperRunsAsOthers();
    const uid_t nobody = 65534;
    std::string socketDir;
    if (otherUser) {
        char pattern[] = "/tmp/klipc-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        socketDir = pattern;
        ::chmod(socketDir.c_str(), 0755);
        ::setenv(ipc::kSocketDirEnvironment, socketDir.c_str(), 1);
    }
    std::string service = uniqueService("leaves");
    {
        EchoListener listener(service);
        std::vector<std::string> argv{KLIPC_PEER_PATH, "send", service};
        if (otherUser) argv.push_back(std::to_string(nobody));
        PeerProcess client(argv);
        std::optional<std::string> line;
        ASSERT_TRUE(runMainUntil([&] {
            line = client.waitForLine("", 0ms);
            return line.has_value();
        })) << "the client process did not answer";
        EXPECT_EQ(*line, "REPLY " + std::to_string(getpid()));
        // It exits without cancelling: its connection here becomes invalid.
        EXPECT_TRUE(runMainUntil([&] { return listener.peers_->has(KLIPC_ERROR_CONNECTION_INVALID); }));
        EXPECT_EQ(listener.peers_->snapshot(), (std::vector<KLIPCMessageType>{KLIPC_OK, KLIPC_ERROR_CONNECTION_INVALID}));
        std::lock_guard lock(listener.peers_->mutex);
        EXPECT_EQ(listener.peers_->pid, client.pid());
        EXPECT_EQ(listener.peers_->euid, otherUser ? nobody : geteuid());
    }
    if (otherUser) {
        ::unsetenv(ipc::kSocketDirEnvironment);
        std::filesystem::remove_all(socketDir);
    }
}

TEST(KLIPCConnection, CancelEndsWithKind2AndAnswersPendingReplies) {
    std::string service = uniqueService("cancel");
    auto peer = startListenerProcess(service);
    auto events = std::make_shared<EventLog>();
    klipc_connection_t connection = klipc_connection_create_client(service.c_str(), nullptr, true);
    klipc_connection_set_event_handler(connection, events->handler(events));
    klipc_connection_resume(connection);
    auto held = sendWithReply(connection, message("hold"));
    ASSERT_TRUE(peer->waitForLine("HELD"));

    klipc_connection_cancel(connection);
    ASSERT_TRUE(runMainUntil([&] { return held->calls > 0; }));
    EXPECT_EQ(held->type, KLIPC_ERROR_CONNECTION_INVALID);
    ASSERT_TRUE(kl::test::waitFor([&] { return events->has(KLIPC_ERROR_CONNECTION_INVALID); }));

    // Nothing after kind 2: later sends are answered with kind 2, blocks still run.
    auto late = sendWithReply(connection, message("echo"));
    std::atomic<bool> barrierRan{false};
    klipc_connection_send_barrier(connection, [&] { barrierRan = true; });
    klipc_connection_cancel(connection);
    ASSERT_TRUE(runMainUntil([&] { return late->calls > 0 && barrierRan; }));
    EXPECT_EQ(late->type, KLIPC_ERROR_CONNECTION_INVALID);
    settle();
    EXPECT_EQ(events->snapshot(), std::vector<KLIPCMessageType>{KLIPC_ERROR_CONNECTION_INVALID});
    EXPECT_EQ(held->calls, 1);
    klipc_release(connection);
}

TEST(KLIPCConnection, MissingListenerMakesTheClientInvalid) {
    auto events = std::make_shared<EventLog>();
    klipc_connection_t connection = klipc_connection_create_client(uniqueService("absent").c_str(), nullptr, true);
    klipc_connection_set_event_handler(connection, events->handler(events));
    klipc_connection_resume(connection);
    auto first = roundTrip(connection);
    EXPECT_EQ(first->type, KLIPC_ERROR_CONNECTION_INVALID);
    auto second = roundTrip(connection);
    EXPECT_EQ(second->type, KLIPC_ERROR_CONNECTION_INVALID);
    ASSERT_TRUE(kl::test::waitFor([&] { return events->has(KLIPC_ERROR_CONNECTION_INVALID); }));
    settle();
    EXPECT_EQ(events->snapshot(), std::vector<KLIPCMessageType>{KLIPC_ERROR_CONNECTION_INVALID});
    klipc_release(connection);
}

TEST(KLIPCConnection, MalformedFramesCloseOnlyTheirConnection) {
    std::string service = uniqueService("malformed");
    EchoListener listener(service);
    auto corpus = ipc::test::malformedFrames();
    for (const auto& bad : corpus) {
        SCOPED_TRACE(bad.name);
        kl::clearMemoryLog();
        int fd = rawConnect(service);
        writeAll(fd, bad.bytes);  // may fail part-way once the listener has given up
        EXPECT_TRUE(runMainUntil([&] { return closedByPeer(fd); })) << "the connection stayed open";
        EXPECT_TRUE(kl::memoryLogContains("bad frame from the peer"));
        EXPECT_TRUE(kl::memoryLogContains(bad.reason));
        ::close(fd);
    }
    EXPECT_TRUE(runMainUntil([&] { return countOf(listener.peers_->snapshot(), KLIPC_ERROR_CONNECTION_INVALID) == corpus.size(); }));

    // A reply nobody asked for is ignored, and the connection goes on serving.
    int fd = rawConnect(service);
    kl::Value request(kl::Dictionary{{"command", kl::Value("echo")}});
    kl::Bytes bytes = encoded(ipc::FrameKind::Reply, 99, request);
    kl::Bytes second = encoded(ipc::FrameKind::Request, 1, request);
    bytes.insert(bytes.end(), second.begin(), second.end());
    ASSERT_TRUE(writeAll(fd, bytes));
    ipc::FrameReader reader;
    ipc::Frame frame;
    std::string error;
    ASSERT_TRUE(runMainUntil([&] {
        uint8_t chunk[4096];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) reader.append(chunk, size_t(n));
        return reader.next(frame, error) == ipc::FrameReader::Status::GotFrame;
    }));
    EXPECT_EQ(frame.kind, ipc::FrameKind::Reply);
    EXPECT_EQ(frame.requestId, 1u);
    EXPECT_EQ(frame.body.intOr("pid", 0), getpid());
    ::close(fd);

    // And a proper client is served as before.
    Client client(service);
    EXPECT_EQ(roundTrip(client.connection)->type, KLIPC_OK);
}

TEST(KLIPCConnection, ListenerTakesTheSocketPassedBySystemd) {
    std::string service = uniqueService("activated");
    std::filesystem::path path = ipc::socketPathForService(service);
    int fd = bindSocket(path, 16);
    int passed = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);  // never fd 3 itself, so the dup2 below is real
    ::close(fd);
    struct stat before;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    // As systemd does: the socket on fd 3, LISTEN_PID naming the process that runs the program.
    std::string script = "export LISTEN_PID=$$ LISTEN_FDS=1 LISTEN_FDNAMES=" + service + "; exec \"$0\" listen " + service;
    PeerProcess peer({"/bin/sh", "-c", script, KLIPC_PEER_PATH}, passed);
    ::close(passed);
    ASSERT_TRUE(peer.waitForLine("READY"));
    {
        Client client(service);
        auto result = roundTrip(client.connection);
        ASSERT_EQ(result->type, KLIPC_OK);
        EXPECT_EQ(klipc_dictionary_get_int64(result->reply.get(), "pid"), peer.pid());
    }
    struct stat after;
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the listener bound a socket of its own";
    peer.kill9();
    ::unlink(path.c_str());
}

TEST(KLIPCConnection, StaleSocketsAreReplacedLiveOnesAndOtherFilesAreNot) {
    std::string service = uniqueService("stale");
    std::filesystem::path path = ipc::socketPathForService(service);
    ::close(bindSocket(path, 0));  // a socket file left by a listener that died: nothing answers
    {
        kl::clearMemoryLog();
        EchoListener first(service);
        Client client(service);
        EXPECT_EQ(roundTrip(client.connection)->type, KLIPC_OK);
        EXPECT_TRUE(kl::memoryLogContains("removing stale socket"));

        // A second listener for the same service finds the first one answering and gives up.
        EchoListener second(service);
        EXPECT_TRUE(runMainUntil([&] { return second.events_->has(KLIPC_ERROR_CONNECTION_INVALID); }));
        EXPECT_TRUE(kl::memoryLogContains("another listener answers"));
        EXPECT_EQ(roundTrip(client.connection)->type, KLIPC_OK);
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << "a cancelled listener removes its socket";

    std::string fileService = uniqueService("file");
    std::filesystem::path file = ipc::socketPathForService(fileService);
    std::ofstream(file) << "keep me";
    {
        EchoListener listener(fileService);
        EXPECT_TRUE(runMainUntil([&] { return listener.events_->has(KLIPC_ERROR_CONNECTION_INVALID); }));
    }
    std::ifstream in(file);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
}

TEST(KLIPCConnection, FloodingPeerIsSlowedDownAndLosesNothing) {
    std::string service = uniqueService("flood");
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        std::atomic<size_t> received{0};
    };
    auto gate = std::make_shared<Gate>();
    auto listenerEvents = std::make_shared<EventLog>();
    klipc_connection_t listener = klipc_connection_create_listener(service.c_str(), nullptr);
    klipc_connection_set_event_handler(listener, [gate, listenerEvents](KLIPCMessageType kind, klipc_object_t peer) {
        listenerEvents->add(kind);
        if (kind != KLIPC_LISTENER_NEW_CONNECTION) return;
        klipc_connection_set_event_handler(peer, [gate](KLIPCMessageType kind, klipc_object_t) {
            if (kind != KLIPC_OK) return;
            std::unique_lock lock(gate->mutex);
            gate->opened.wait(lock, [&] { return gate->open; });  // a handler busy for a long time
            gate->received++;
        });
        klipc_connection_resume(peer);
    });
    klipc_connection_resume(listener);

    int fd = rawConnect(service);
    kl::Bytes frame = encoded(ipc::FrameKind::Message, 0,
                              kl::Value(kl::Dictionary{{"command", kl::Value("bulk")},
                                                       {"payload", kl::Value(std::string(64 * 1024, 'x'))}}));
    // Write until the listener stops taking bytes (nothing moves for a second).
    size_t framesStarted = 0, sent = 0, offset = 0;
    const size_t cap = 256u << 20;
    while (sent < cap) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) break;
        ssize_t n = ::send(fd, frame.data() + offset, frame.size() - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) continue;
        if (offset == 0) framesStarted++;
        offset = (offset + size_t(n)) % frame.size();
        sent += size_t(n);
    }
    EXPECT_LT(sent, 64u << 20) << "the listener kept reading into memory";

    // Once the handler gets going, every message arrives.
    {
        std::lock_guard lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
    if (offset) {
        ASSERT_TRUE(writeAll(fd, kl::Bytes(frame.begin() + ptrdiff_t(offset), frame.end())));
    }
    EXPECT_TRUE(kl::test::waitFor([&] { return gate->received.load() == framesStarted; }, 60s))
        << gate->received.load() << " of " << framesStarted;
    ::close(fd);

    klipc_connection_cancel(listener);
    EXPECT_TRUE(kl::test::waitFor([&] { return listenerEvents->has(KLIPC_ERROR_CONNECTION_INVALID); }));
    klipc_release(listener);
}

TEST(KLIPCConnection, PeerThatStopsReadingIsDisconnected) {
    std::string service = uniqueService("deaf");
    auto peerEvents = std::make_shared<EventLog>();
    auto listenerEvents = std::make_shared<EventLog>();
    klipc_connection_t listener = klipc_connection_create_listener(service.c_str(), nullptr);
    klipc_connection_set_event_handler(listener, [peerEvents, listenerEvents](KLIPCMessageType kind, klipc_object_t peer) {
        listenerEvents->add(kind);
        if (kind != KLIPC_LISTENER_NEW_CONNECTION) return;
        klipc_connection_set_event_handler(peer, [peerEvents](KLIPCMessageType kind, klipc_object_t m) {
            peerEvents->add(kind);
            if (kind != KLIPC_OK) return;
            // Broadcasts to a peer that never reads them.
            klipc_connection_t to = klipc_dictionary_get_remote_connection(m);
            Object big = message("broadcast");
            std::string payload(64 * 1024, 'y');
            klipc_dictionary_set_string(big.get(), "payload", payload.c_str());
            for (int i = 0; i < 400; ++i) klipc_connection_send_message(to, big.get());
        });
        klipc_connection_resume(peer);
    });
    kl::clearMemoryLog();
    klipc_connection_resume(listener);

    int fd = rawConnect(service);
    ASSERT_TRUE(writeAll(fd, encoded(ipc::FrameKind::Message, 0, kl::Value(kl::Dictionary{{"command", kl::Value("go")}}))));
    EXPECT_TRUE(kl::test::waitFor([&] { return peerEvents->has(KLIPC_ERROR_CONNECTION_INVALID); }));
    EXPECT_TRUE(kl::memoryLogContains("the peer is not reading"));
    ::close(fd);

    klipc_connection_cancel(listener);
    EXPECT_TRUE(kl::test::waitFor([&] { return listenerEvents->has(KLIPC_ERROR_CONNECTION_INVALID); }));
    klipc_release(listener);
}

// Counts of a process from /proc: threads, open descriptors, and resident and peak memory in KiB.
struct ProcessFigures {
    size_t threads = 0, descriptors = 0, residentKiB = 0, peakKiB = 0;
};

ProcessFigures figuresOf(pid_t pid) {
    ProcessFigures f;
    std::string base = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(base + "/fd", ec); !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++f.descriptors;
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        auto number = [&] { return size_t(std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10)); };
        if (line.rfind("Threads:", 0) == 0) f.threads = number();
        if (line.rfind("VmRSS:", 0) == 0) f.residentKiB = number();
        if (line.rfind("VmHWM:", 0) == 0) f.peakKiB = number();
    }
    return f;
}

// Connections that say nothing, or start a frame and never finish it, are closed after the time
// limit; one that has completed a frame may stay idle. Beyond the total cap, connections are
// closed at once. None of it costs a thread per connection.
TEST(KLIPCConnection, SilentConnectionsAreClosedAndCappedWithoutAThreadEach) {
    std::string service = uniqueService("silent");
    EchoListener listener(service);
    {
        Client warm(service);  // the listener's own threads exist from here on
        ASSERT_EQ(roundTrip(warm.connection)->type, KLIPC_OK);
    }
    size_t threadsBefore = figuresOf(getpid()).threads;

    int spoke = rawConnect(service);
    kl::Bytes frame = encoded(ipc::FrameKind::Message, 0, kl::Value(kl::Dictionary{{"command", kl::Value("noop")}}));
    ASSERT_TRUE(writeAll(spoke, frame));
    int halfway = rawConnect(service);
    ASSERT_TRUE(writeAll(halfway, kl::Bytes(frame.begin(), frame.begin() + ptrdiff_t(frame.size() / 2))));
    const size_t extra = 10;
    std::vector<int> silent;
    for (size_t i = 0; i + 2 < ipc::kMaxListenerConnections + extra; ++i) silent.push_back(rawConnect(service));

    // The ones over the cap go at once, the rest stay until their time is up.
    auto closedCount = [&] { return size_t(std::count_if(silent.begin(), silent.end(), closedByPeer)); };
    EXPECT_TRUE(runMainUntil([&] { return closedCount() >= extra; }, 3s)) << closedCount();
    EXPECT_EQ(closedCount(), extra);
    EXPECT_FALSE(closedByPeer(halfway));
    EXPECT_LE(figuresOf(getpid()).threads, threadsBefore + 1) << "threads grew with the connections";

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(runMainUntil([&] { return closedCount() == silent.size() && closedByPeer(halfway); }, ipc::kFrameTimeout + 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, ipc::kFrameTimeout - 1s);
    EXPECT_FALSE(closedByPeer(spoke));
    EXPECT_TRUE(kl::memoryLogContains("no complete frame within"));

    // With the room made, a proper client is served.
    Client client(service);
    EXPECT_EQ(roundTrip(client.connection)->type, KLIPC_OK);
    for (int fd : silent) ::close(fd);
    ::close(halfway);
    ::close(spoke);
}

// A local user without privileges opens thousands of connections and sends frames that decode to
// as much as the wire allows (and one over the element limit): the listener in another process
// keeps serving a proper client within a second, with its threads, descriptors and memory bounded.
TEST(KLIPCConnection, LocalUserFloodLeavesTheListenerAnsweringWithinBounds) {
    if (geteuid() != 0 || !helperRunsAsOthers()) GTEST_SKIP() << "needs root, to run the flood as another user";
    const uid_t nobody = 65534;
    char pattern[] = "/tmp/klipc-flood-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    std::string socketDir = pattern;
    ::chmod(socketDir.c_str(), 0755);
    ::setenv(ipc::kSocketDirEnvironment, socketDir.c_str(), 1);
    std::string service = uniqueService("flood");
    {
        // A sanitizer build holds freed memory in quarantine (256 MB by default), which would stand
        // for the listener's own bound in the figures; the listener runs without it.
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        std::string previous = sanitizer ? sanitizer : "";
        ::setenv("ASAN_OPTIONS", (previous + ":quarantine_size_mb=0").c_str(), 1);
        auto listener = startListenerProcess(service);
        if (sanitizer) ::setenv("ASAN_OPTIONS", previous.c_str(), 1);
        else ::unsetenv("ASAN_OPTIONS");
        {
            Client warm(service);
            ASSERT_EQ(roundTrip(warm.connection)->type, KLIPC_OK);
        }
        ProcessFigures before = figuresOf(listener->pid());

        const int connections = 3000;
        PeerProcess flood({KLIPC_PEER_PATH, "flood", service, std::to_string(nobody), std::to_string(connections)});
        auto line = flood.waitForLine("FLOODING", 120s);
        ASSERT_TRUE(line.has_value()) << "the flood did not get through its connections";
        size_t kept = 0, refused = 0;
        std::sscanf(line->c_str(), "FLOODING %zu %zu", &kept, &refused);

        Client client(service);
        auto start = std::chrono::steady_clock::now();
        auto answer = roundTrip(client.connection);
        auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        ProcessFigures during = figuresOf(listener->pid());
        std::printf("flood of %d connections: %zu kept, %zu refused; proper client answered in %lld ms; listener "
                    "threads %zu -> %zu, descriptors %zu -> %zu, resident %zu -> %zu KiB (peak %zu KiB)\n",
                    connections, kept, refused, (long long)latency.count(), before.threads, during.threads,
                    before.descriptors, during.descriptors, before.residentKiB, during.residentKiB, during.peakKiB);
        EXPECT_EQ(answer->type, KLIPC_OK);
        EXPECT_LT(latency, 1s);
        EXPECT_LE(kept, ipc::kMaxConnectionsPerUser);
        EXPECT_GE(kept + refused, size_t(connections) * 9 / 10);
        EXPECT_LE(during.threads, before.threads + 1);
        EXPECT_LE(during.descriptors, before.descriptors + ipc::kMaxConnectionsPerUser + 4);
        // Per connection kept: a frame being read and replies queued to a peer that does not read
        // them; for the listener: its backlog of unhandled messages. Far below the gigabytes such
        // a flood took when a frame could decode to forty times its size and count as its wire size.
#ifdef __SANITIZE_THREAD__
        const size_t scale = 4;  // every byte the listener touches has shadow bytes of its own
#else
        const size_t scale = 1;
#endif
        EXPECT_LT(during.peakKiB, before.residentKiB + scale * 512 * 1024);

        flood.kill9();
        EXPECT_TRUE(runMainUntil([&] { return figuresOf(listener->pid()).descriptors <= before.descriptors + 1; }, 10s))
            << "descriptors left behind: " << figuresOf(listener->pid()).descriptors;
    }
    ::unsetenv(ipc::kSocketDirEnvironment);
    std::filesystem::remove_all(socketDir);
}

}  // namespace
