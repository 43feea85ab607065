// The other process of the IPC tests.
//   klipc_peer listen <service>        serves <service>: "echo" is answered with the message and the
//                                      peer's pid and euid, "hold" is never answered (prints HELD);
//                                      prints READY once listening, INVALID if the listener fails.
//   klipc_peer send <service> [uid]    connects (as uid when given), sends "hello" with a reply,
//                                      prints REPLY <listener pid> and exits without cleaning up,
//                                      as a client that goes away does.
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/KLTLogging.h"
#include "foundation/ipc/klipc.h"
#include "platform/Executors.h"

namespace {

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

int send(const char* service, const char* uidText) {
    if (uidText) {
        uid_t uid = uid_t(std::strtoul(uidText, nullptr, 10));
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
            std::perror("dropping privileges");
            return 2;
        }
    }
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
    std::fprintf(stderr, "usage: klipc_peer listen|send <service> [uid]\n");
    return 2;
}
