// The other process of the IPC tests.
//   klipc_peer listen <service>        serves <service>: "echo" is answered with the message and the
//                                      peer's pid and euid, "hold" is never answered (prints HELD);
//                                      prints READY once listening, INVALID if the listener fails.
//   klipc_peer send <service> [uid]    connects (as uid when given), sends "hello" with a reply,
//                                      prints REPLY <listener pid> and exits without cleaning up,
//                                      as a client that goes away does.
//   klipc_peer flood <service> <uid> <connections>
//                                      a hostile local user: as uid, opens that many connections and
//                                      keeps them, sends amplifying frames (the largest legal array
//                                      of nulls, and one far over the element limit) on every one the
//                                      listener kept, prints FLOODING <kept> <refused> and holds on
//                                      until killed.
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "IPCMalformedFrames.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "foundation/ipc/IPCWire.h"
#include "foundation/ipc/klipc.h"
#include "platform/Executors.h"

namespace {

using namespace kl::ipc::test;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void serve(klipc_connection_t connection) {
    klipc_connection_set_event_handler(connection, [](KLIPCMessageType type, klipc_object_t message) {
        if (type != KLIPC_OK) return;
        const char* command = klipc_dictionary_get_string(message, "command");
        if (command && std::strcmp(command, "hold") == 0) {
            say("HELD");
            return;
        }
        klipc_send_reply(message, [message](klipc_object_t reply) {
            klipc_connection_t from = klipc_dictionary_get_remote_connection(message);
            klipc_dictionary_set_value(reply, "echo", message);
            klipc_dictionary_set_int64(reply, "peer_pid", klipc_connection_get_pid(from));
            klipc_dictionary_set_uint64(reply, "peer_euid", klipc_connection_get_euid(from));
            klipc_dictionary_set_int64(reply, "pid", getpid());
        });
    });
    klipc_connection_resume(connection);
}

int listen(const char* service) {
    klipc_connection_t listener = klipc_connection_create_listener(service, klipc_queue_main());
    if (!listener) return 2;
    klipc_connection_set_event_handler(listener, [](KLIPCMessageType type, klipc_object_t object) {
        if (type == KLIPC_LISTENER_NEW_CONNECTION) serve(object);
        if (type == KLIPC_ERROR_CONNECTION_INVALID) {
            say("INVALID");
            std::_Exit(3);
        }
    });
    klipc_connection_resume(listener);
    kl::mainLoop().post([] { say("READY"); });
    kl::mainLoop().run();
    return 0;
}

bool becomeUser(const char* uidText) {
    uid_t uid = uid_t(std::strtoul(uidText, nullptr, 10));
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
        std::perror("dropping privileges");
        return false;
    }
    return true;
}

// The largest frame of legal element counts that decodes to the most: a long string to pay for
// the elements, then as many nulls as a body that size may carry.
kl::Bytes amplifyingFrame() {
    const size_t budget = kl::ipc::kMaxFrameBody - 64;
    size_t nulls = (budget * 2) / 3;
    while (kl::ipc::maxElementsPerContainer(budget) < nulls) nulls -= 1024;
    kl::Dictionary body{{"a", kl::Value(kl::Array(nulls))}, {"p", kl::Value(std::string(budget - nulls, 'x'))}};
    auto frame = kl::ipc::encodeFrame(kl::ipc::FrameKind::Message, 0, kl::Value(std::move(body)));
    return frame.ok() ? *frame : kl::Bytes{};
}

// Sends all of bytes unless the peer closes or stops reading for a second.
bool sendFor(int fd, const kl::Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) return false;
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

int flood(const char* service, const char* uidText, const char* countText) {
    size_t count = std::strtoul(countText, nullptr, 10);
    rlimit files{rlim_t(count + 64), rlim_t(count + 64)};
    ::setrlimit(RLIMIT_NOFILE, &files);  // as root, before giving that up
    if (!becomeUser(uidText)) return 2;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = kl::ipc::socketPathForService(service).native();
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    std::vector<int> fds;
    for (size_t i = 0; i < count; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        // A full backlog makes connect wait a little: the listener is refusing as fast as it can.
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            continue;
        }
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kl::Bytes legal = amplifyingFrame();
    kl::Bytes overLimit = frameAround(arrayOfNulls(uint32_t(kl::ipc::kMaxFrameBody - 64)));
    size_t kept = 0, refused = 0;
    for (int fd : fds) {
        if (closedByPeer(fd)) {
            ++refused;
            continue;
        }
        // The first one kept gets the frame over the element limit (and is closed for it).
        if (kept++ == 0) {
            sendFor(fd, overLimit);
            continue;
        }
        sendFor(fd, legal);
        sendFor(fd, legal);
    }
    say("FLOODING " + std::to_string(kept) + " " + std::to_string(refused));
    for (;;) ::pause();
}

int send(const char* service, const char* uidText) {
    if (uidText && !becomeUser(uidText)) return 2;
    klipc_connection_t connection = klipc_connection_create_client(service, nullptr, true);
    klipc_connection_set_event_handler(connection, [](KLIPCMessageType, klipc_object_t) {});
    klipc_connection_resume(connection);
    klipc_object_t message = klipc_dictionary_create();
    klipc_dictionary_set_string(message, "command", "hello");
    bool done = false;
    klipc_connection_send_message_with_reply(connection, message, klipc_queue_main(),
                                             [&done](KLIPCMessageType type, klipc_object_t reply) {
                                                 say(type == KLIPC_OK ? "REPLY " + std::to_string(klipc_dictionary_get_int64(reply, "pid"))
                                                                      : "FAILED " + std::to_string(type));
                                                 done = true;
                                             });
    kl::mainLoop().runUntil([&] { return done; }, std::chrono::seconds(20));
    std::fflush(stdout);
    std::_Exit(done ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
    kl::setLogSink(kl::LogSink::StandardError);
    if (argc >= 3 && std::strcmp(argv[1], "listen") == 0) return listen(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "send") == 0) return send(argv[2], argc >= 4 ? argv[3] : nullptr);
    if (argc >= 5 && std::strcmp(argv[1], "flood") == 0) return flood(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: klipc_peer listen|send <service> [uid] | flood <service> <uid> <connections>\n");
    return 2;
}
