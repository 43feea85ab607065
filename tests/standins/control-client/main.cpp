// control-client: speaks the control protocol from the command line, for tests, scenarios and
// driving a daemon by hand.
//
//   control-client [--follow] [--no-reply] [--timeout SECONDS] [COMMAND [KEY=VALUE ...]]
//
// Sends COMMAND (a number) with the given keys and prints the reply as one JSON line
// {"reply": {...}}. VALUE is a string; KEY:u=, KEY:i=, KEY:b= (true/false), KEY:d= and KEY:x= (hex
// bytes) give an unsigned, signed, boolean, double or data value. --no-reply sends without asking
// for a reply. --follow then stays connected and prints each daemon message as {"message": {...}}
// until the connection ends or SIGTERM/SIGINT. Connection events print {"event": "interrupted"} or
// {"event": "invalid"}. The socket folder follows KLIPC_SOCKET_DIR.
// Exit status: 0 done, 1 usage, 2 the connection failed, 3 no reply within the timeout.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/KLTLogging.h"
#include "foundation/ipc/KLIPCObjects.h"
#include "foundation/ipc/klipc.h"
#include "platform/Executors.h"
#include "platform/ValueJson.h"

namespace {

constexpr const char* kService = "com.kelvaro.portweaver.controlapp";

std::mutex gOutput;
void printLine(const std::string& key, klipc_object_t object) {
    kl::Value value;
    if (!kl::ipc::valueFromObject(object, value)) value = kl::Value();
    std::lock_guard lock(gOutput);
    std::printf("{\"%s\": %s}\n", key.c_str(), kl::valueToJson(value).c_str());
    std::fflush(stdout);
}
void printEvent(KLIPCMessageType type) {
    std::lock_guard lock(gOutput);
    std::printf("{\"event\": \"%s\"}\n", type == KLIPC_ERROR_CONNECTION_INTERRUPTED ? "interrupted" : "invalid");
    std::fflush(stdout);
}

bool parseHex(const std::string& text, std::vector<uint8_t>& out) {
    if (text.size() % 2) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        std::string pair = text.substr(i, 2);
        long byte = std::strtol(pair.c_str(), &end, 16);
        if (*end) return false;
        out.push_back(uint8_t(byte));
    }
    return true;
}

// KEY=VALUE or KEY:T=VALUE into message; false for a malformed argument.
bool setKey(klipc_object_t message, const std::string& argument) {
    size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    std::string key = argument.substr(0, equals), value = argument.substr(equals + 1);
    std::string type;
    if (size_t colon = key.rfind(':'); colon != std::string::npos && colon + 2 == key.size()) {
        type = key.substr(colon + 1);
        key.resize(colon);
    }
    char* end = nullptr;
    if (type.empty()) {
        klipc_dictionary_set_string(message, key.c_str(), value.c_str());
    } else if (type == "u") {
        klipc_dictionary_set_uint64(message, key.c_str(), std::strtoull(value.c_str(), &end, 10));
    } else if (type == "i") {
        klipc_dictionary_set_int64(message, key.c_str(), std::strtoll(value.c_str(), &end, 10));
    } else if (type == "d") {
        klipc_dictionary_set_double(message, key.c_str(), std::strtod(value.c_str(), &end));
    } else if (type == "b") {
        if (value != "true" && value != "false") return false;
        klipc_dictionary_set_bool(message, key.c_str(), value == "true");
    } else if (type == "x") {
        std::vector<uint8_t> bytes;
        if (!parseHex(value, bytes)) return false;
        klipc_dictionary_set_data(message, key.c_str(), bytes.data(), bytes.size());
    } else {
        return false;
    }
    return !end || !*end;
}

int usage() {
    std::fprintf(stderr, "usage: control-client [--follow] [--no-reply] [--timeout SECONDS] [COMMAND [KEY[:u|i|b|d|x]=VALUE ...]]\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    kl::setLogSink(kl::LogSink::StandardError);
    kl::setLoggingLevel(0);
    bool follow = false, wantReply = true;
    double timeout = 10;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--follow") == 0) follow = true;
        else if (std::strcmp(argv[i], "--no-reply") == 0) wantReply = false;
        else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) timeout = std::atof(argv[++i]);
        else if (std::strncmp(argv[i], "--", 2) == 0) return usage();
        else words.push_back(argv[i]);
    }
    klipc_object_t message = nullptr;
    if (!words.empty()) {
        char* end = nullptr;
        unsigned long long command = std::strtoull(words[0].c_str(), &end, 10);
        if (*end || words[0].empty()) return usage();
        message = klipc_dictionary_create();
        klipc_dictionary_set_uint64(message, "command", command);
        for (size_t w = 1; w < words.size(); ++w) {
            if (!setKey(message, words[w])) {
                klipc_release(message);
                return usage();
            }
        }
    } else if (!follow) {
        return usage();
    }

    kl::MainLoop& loop = kl::mainLoop();
    bool ended = false;
    klipc_connection_t connection = klipc_connection_create_client(kService, klipc_queue_main(), true);
    if (!connection) return 2;
    klipc_connection_set_event_handler(connection, [&](KLIPCMessageType type, klipc_object_t object) {
        if (type == KLIPC_OK) {
            printLine("message", object);
            return;
        }
        printEvent(type);
        ended = true;
    });
    klipc_connection_resume(connection);

    int status = 0;
    if (message) {
        if (wantReply) {
            bool answered = false;
            klipc_connection_send_message_with_reply(connection, message, klipc_queue_main(),
                                                     [&](KLIPCMessageType type, klipc_object_t reply) {
                                                         answered = true;
                                                         if (type == KLIPC_OK) printLine("reply", reply);
                                                         else {
                                                             printEvent(type);
                                                             ended = true;
                                                         }
                                                     });
            loop.runUntil([&] { return answered; }, std::chrono::milliseconds(long(timeout * 1000)));
            if (!answered) status = 3;
            else if (ended) status = 2;
        } else {
            klipc_connection_send_message(connection, message);
            bool sent = false;
            klipc_connection_send_barrier(connection, [&] { loop.post([&] { sent = true; }); });
            loop.runUntil([&] { return sent || ended; }, std::chrono::milliseconds(long(timeout * 1000)));
            if (ended) status = 2;
        }
        klipc_release(message);
    }
    if (follow && !ended) {
        static volatile std::sig_atomic_t stop = 0;
        std::signal(SIGTERM, [](int) { stop = 1; });
        std::signal(SIGINT, [](int) { stop = 1; });
        loop.runUntil([&] { return ended || stop; }, std::chrono::hours(24 * 365));
    }
    std::fflush(stdout);
    // Leave without tearing down the connection's queues: the process ends here anyway.
    std::_Exit(status);
}
