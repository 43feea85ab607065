// lossy_link: a user-space link between two network namespaces for kernels without netem. It
// makes a TAP device of the same name in each namespace and copies Ethernet frames between them,
// holding each for a fixed delay and dropping a share of them at random (each direction on its
// own). Frames wait in a bounded queue, dropped at its tail when full, as at a router.
//
//   lossy_link NS_A NS_B DEVICE DELAY_MS LOSS_PERCENT [QUEUE_MIB]
//
// Prints "ready" on stdout once both devices exist (the caller then addresses them and sets them
// up), and the counts of each direction on standard error when ended by SIGINT or SIGTERM.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "lossy_link: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// Opens a TAP device of the given name inside the named namespace.
int tapIn(const std::string& netns, const std::string& device) {
    int self = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = ::open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (self < 0 || target < 0) fail("namespace " + netns);
    if (::setns(target, CLONE_NEWNET) != 0) fail("setns " + netns);
    int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) fail("/dev/net/tun");
    ifreq request{};
    request.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", device.c_str());
    if (::ioctl(fd, TUNSETIFF, &request) != 0) fail("TUNSETIFF " + device);
    if (::setns(self, CLONE_NEWNET) != 0) fail("setns back");
    ::close(self);
    ::close(target);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

struct Frame {
    Clock::time_point due;
    std::vector<char> bytes;
};

struct Direction {
    int from = -1, to = -1;
    uint64_t carried = 0, lost = 0, overflowed = 0;
};

// Copies frames one way until stop is readable. Frames keep their spacing: each leaves at its own
// arrival time plus the delay, so the link adds no burstiness of its own.
void run(Direction& d, int stop, std::chrono::nanoseconds delay, double loss, size_t queueLimit, unsigned seed) {
    std::mt19937_64 random(seed);
    std::bernoulli_distribution drop(loss);
    std::deque<Frame> queue;
    size_t queued = 0;
    std::vector<Frame> spare;
    for (;;) {
        timespec wait{};
        timespec* timeout = nullptr;
        if (!queue.empty()) {
            auto left = std::max(queue.front().due - Clock::now(), Clock::duration::zero());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait = {time_t(ns / 1000000000), long(ns % 1000000000)};
            timeout = &wait;
        }
        pollfd fds[2] = {{d.from, POLLIN, 0}, {stop, POLLIN, 0}};
        if (::ppoll(fds, 2, timeout, nullptr) < 0 && errno != EINTR) fail("ppoll");
        if (fds[1].revents & POLLIN) return;
        if (fds[0].revents & POLLIN) {
            for (int i = 0; i < 256; i++) {
                Frame frame;
                if (!spare.empty()) {
                    frame = std::move(spare.back());
                    spare.pop_back();
                }
                frame.bytes.resize(65536);
                ssize_t n = ::read(d.from, frame.bytes.data(), frame.bytes.size());
                if (n <= 0) break;
                frame.bytes.resize(size_t(n));
                if (drop(random)) {
                    d.lost++;
                } else if (queued + size_t(n) > queueLimit) {
                    d.overflowed++;
                } else {
                    frame.due = Clock::now() + delay;
                    queued += size_t(n);
                    queue.push_back(std::move(frame));
                    continue;
                }
                spare.push_back(std::move(frame));
            }
        }
        const auto now = Clock::now();
        while (!queue.empty() && queue.front().due <= now) {
            Frame& frame = queue.front();
            // A full device queue on the far side is a lost frame, as on a wire.
            if (::write(d.to, frame.bytes.data(), frame.bytes.size()) > 0) d.carried++;
            queued -= frame.bytes.size();
            spare.push_back(std::move(frame));
            queue.pop_front();
        }
    }
}

int gStop = -1;

void onSignal(int) {
    uint64_t one = 1;
    (void)!::write(gStop, &one, sizeof one);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: lossy_link NS_A NS_B DEVICE DELAY_MS LOSS_PERCENT [QUEUE_MIB]\n");
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "lossy_link: needs root (TAP devices in network namespaces)\n");
        return 1;
    }
    const std::string device = argv[3];
    const auto delay = std::chrono::nanoseconds(int64_t(std::atof(argv[4]) * 1e6));
    const double loss = std::atof(argv[5]) / 100.0;
    const size_t queueLimit = size_t((argc > 6 ? std::atof(argv[6]) : 32.0) * 1048576.0);
    int a = tapIn(argv[1], device), b = tapIn(argv[2], device);
    gStop = ::eventfd(0, EFD_CLOEXEC);
    struct sigaction action{};
    action.sa_handler = onSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    Direction ab{a, b}, ba{b, a};
    std::printf("ready\n");
    std::fflush(stdout);
    {
        std::jthread forward([&] { run(ab, gStop, delay, loss, queueLimit, 1); });
        std::jthread backward([&] { run(ba, gStop, delay, loss, queueLimit, 2); });
    }
    std::fprintf(stderr, "lossy_link: a->b carried %llu lost %llu overflowed %llu; b->a carried %llu lost %llu overflowed %llu\n",
                 (unsigned long long)ab.carried, (unsigned long long)ab.lost, (unsigned long long)ab.overflowed,
                 (unsigned long long)ba.carried, (unsigned long long)ba.lost, (unsigned long long)ba.overflowed);
    return 0;
}
