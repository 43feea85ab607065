// Round trips per second over the local IPC transport between two processes: a listener child that
// answers every request with a copy of it, and this process sending requests one after the other
// (each waits for its reply, as the control app's calls do). Side by side: an almost empty
// dictionary, a 1 KiB one and a 64 KiB one, and one-way messages of 1 KiB.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "foundation/ipc/klipc.h"
#include "platform/Executors.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* kService = "com.kelvaro.bench.ipc";

[[noreturn]] void runListener() {
    klipc_connection_t listener = klipc_connection_create_listener(kService, klipc_queue_main());
    klipc_connection_set_event_handler(listener, [](KLIPCMessageType type, klipc_object_t peer) {
        if (type != KLIPC_LISTENER_NEW_CONNECTION) return;
        klipc_connection_set_event_handler(peer, [](KLIPCMessageType type, klipc_object_t message) {
            if (type != KLIPC_OK) return;
            klipc_send_reply(message, [message](klipc_object_t reply) { klipc_dictionary_set_value(reply, "echo", message); });
        });
        klipc_connection_resume(peer);
    });
    klipc_connection_resume(listener);
    kl::mainLoop().run();
    std::_Exit(0);
}

klipc_object_t makeMessage(size_t payloadBytes) {
    klipc_object_t m = klipc_dictionary_create();
    klipc_dictionary_set_uint64(m, "command", 16);
    if (payloadBytes) {
        // Roughly the shape of a host list: several string keys per entry.
        klipc_object_t hosts = klipc_array_create();
        size_t made = 0;
        for (int i = 0; made < payloadBytes; ++i) {
            klipc_object_t host = klipc_dictionary_create();
            std::string name = "host-" + std::to_string(i) + std::string(40, 'n');
            klipc_dictionary_set_string(host, "name", name.c_str());
            klipc_dictionary_set_string(host, "uuid", "4C4C4544-0042-3510-8052-B4C04F564433");
            klipc_dictionary_set_string(host, "service_names", "_afpovertcp._tcp");
            klipc_dictionary_set_int64(host, "tunnexConnectionStatus", 5);
            klipc_array_append_value(hosts, host);
            klipc_release(host);
            made += name.size() + 36 + 16 + 8 + 60;  // values plus keys and framing, roughly
        }
        klipc_dictionary_set_value(m, "hosts_array", hosts);
        klipc_release(hosts);
    }
    return m;
}

struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    int done = 0;
    bool failed = false;
};

double roundTripsPerSecond(klipc_connection_t c, klipc_queue_t queue, size_t payload, double seconds) {
    klipc_object_t m = makeMessage(payload);
    Waiter w;
    auto once = [&] {
        int target;
        {
            std::lock_guard lock(w.mutex);
            target = w.done + 1;
        }
        klipc_connection_send_message_with_reply(c, m, queue, [&](KLIPCMessageType type, klipc_object_t) {
            std::lock_guard lock(w.mutex);
            w.failed |= type != KLIPC_OK;
            w.done++;
            w.cv.notify_one();
        });
        std::unique_lock lock(w.mutex);
        w.cv.wait(lock, [&] { return w.done >= target; });
    };
    for (int i = 0; i < 50; ++i) once();  // warm up
    auto start = Clock::now();
    int count = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
        once();
        ++count;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    klipc_release(m);
    if (w.failed) std::fprintf(stderr, "some round trips failed\n");
    return count / elapsed;
}

double oneWayPerSecond(klipc_connection_t c, klipc_queue_t queue, size_t payload, int count) {
    klipc_object_t m = makeMessage(payload);
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) klipc_connection_send_message(c, m);
    // The last one with a reply: the listener handles in order, so all have arrived by then.
    Waiter w;
    klipc_connection_send_message_with_reply(c, m, queue, [&](KLIPCMessageType, klipc_object_t) {
        std::lock_guard lock(w.mutex);
        w.done = 1;
        w.cv.notify_one();
    });
    std::unique_lock lock(w.mutex);
    w.cv.wait(lock, [&] { return w.done == 1; });
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    klipc_release(m);
    return (count + 1) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    kl::setLogSink(kl::LogSink::StandardError);
    char dir[] = "/tmp/klipc-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    ::setenv(kl::ipc::kSocketDirEnvironment, dir, 1);
    std::filesystem::path socket = kl::ipc::socketPathForService(kService);

    pid_t child = ::fork();  // before this process starts any thread
    if (child == 0) runListener();
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) ::usleep(10000);

    klipc_connection_t c = klipc_connection_create_client(kService, nullptr, true);
    klipc_connection_set_event_handler(c, [](KLIPCMessageType, klipc_object_t) {});
    klipc_connection_resume(c);
    klipc_queue_t queue = klipc_queue_create("bench.replies");

    double small = roundTripsPerSecond(c, queue, 0, seconds);
    double kib = roundTripsPerSecond(c, queue, 1024, seconds);
    double big = roundTripsPerSecond(c, queue, 64 * 1024, seconds);
    double oneWay = oneWayPerSecond(c, queue, 1024, 20000);
    std::printf("round trips/s, command only:        %10.0f\n", small);
    std::printf("round trips/s, 1 KiB dictionary:    %10.0f  (%.1f us each, %.2fx the command-only time)\n", kib,
                1e6 / kib, small / kib);
    std::printf("round trips/s, 64 KiB dictionary:   %10.0f  (%.2fx the 1 KiB time)\n", big, kib / big);
    std::printf("one-way messages/s, 1 KiB:          %10.0f  (%.1fx the round-trip rate)\n", oneWay, oneWay / kib);

    std::fflush(stdout);
    kl::setLoggingLevel(0);
    klipc_connection_cancel(c);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::filesystem::remove_all(dir);
    std::_Exit(0);
}
