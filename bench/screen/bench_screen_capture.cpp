// Cost of reading screen pixels: a full frame and a 1000 x 250 tile, through
// the shared-memory segment the encoders use and through plain XGetImage (what
// a capture without MIT-SHM, or of a remote server, falls back to), side by
// side in one run. Uses $DISPLAY, or starts a private 1920 x 1080 Xvfb when
// none is set.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Monitors.h"

extern char** environ;

namespace {

pid_t startXvfb() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"/usr/bin/Xvfb", "-displayfd", fd.c_str(), "-screen", "0",
                          "1920x1080x24",  "-nolisten",  "tcp",      nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], fds[1]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (pid > 0 && poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(fds[0]);
    if (number.empty()) return -1;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return pid;
}

// Milliseconds per capture, over enough repetitions to take about half a
// second.
double timeCapture(kl::X11Capture& capture, const kl::X11Rect& area) {
    std::vector<uint8_t> buffer(size_t(area.width) * area.height * 4);
    using Clock = std::chrono::steady_clock;
    capture.capture(area, buffer.data());  // warm up
    int runs = 0;
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(500) || runs < 5) {
        if (!capture.capture(area, buffer.data())) return -1;
        ++runs;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / runs;
}

}  // namespace

int main() {
    pid_t xvfb = -1;
    if (!std::getenv("DISPLAY")) xvfb = startXvfb();
    auto connection = kl::X11Connection::open();
    if (!connection) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }
    kl::X11Rect screen = kl::x11RootBounds(*connection);
    {
        kl::X11Capture shm(*connection, true), plain(*connection, false);
        if (!shm.usesShm()) std::printf("note: MIT-SHM unavailable, both columns use XGetImage\n");
        struct {
            const char* name;
            kl::X11Rect area;
        } cases[] = {
            {"full frame", screen},
            {"1000 x 250 tile", {0, 0, std::min(1000, screen.width), std::min(250, screen.height)}},
        };
        std::printf("%-18s %12s %12s %12s\n", "area", "XShm ms", "XGetImage ms", "ratio");
        for (const auto& c : cases) {
            double a = timeCapture(shm, c.area), b = timeCapture(plain, c.area);
            std::printf("%-18s %12.3f %12.3f %11.1fx   (%dx%d)\n", c.name, a, b, b / a, c.area.width, c.area.height);
        }
    }  // the capturers detach before their connection closes
    connection.reset();
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
    }
    return 0;
}
