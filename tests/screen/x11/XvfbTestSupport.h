// A private Xvfb (24-bit, on a free display chosen by the server itself) for the X11 screen tests,
// and helpers that act as ordinary X clients: drawing, windows, cursors, monitor splits.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/X11Connection.h"
#include "screen/DisplayServer.h"
#include "tunnel/StandinProcess.h"

extern char** environ;

namespace kl::test {

inline constexpr const char* kXvfb = "/usr/bin/Xvfb";

class Xvfb {
public:
    // width x height x 24; started() is false when it could not come up.
    Xvfb(int width, int height) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        std::string fd = std::to_string(fds[1]);
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        std::vector<std::string> argv = {kXvfb, "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp",
                                         "-noreset"};
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], fds[1]);  // keeps it open across exec
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (::posix_spawn(&pid_, kXvfb, &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (pid_ > 0 && ::poll(&p, 1, 10000) > 0) {
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            number.push_back(c);
        }
        ::close(fds[0]);
        if (number.empty()) return;
        display_ = ":" + number;
        ::setenv("DISPLAY", display_.c_str(), 1);
        X11Connection::closeForThisThread();
        DisplayServer::noteDisplayChange();  // forget what an earlier server of this process showed
    }
    ~Xvfb() {
        X11Connection::closeForThisThread();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status;
            ::waitpid(pid_, &status, 0);
        }
    }
    bool started() const { return !display_.empty(); }
    pid_t pid() const { return pid_; }
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// Starts the server for one test, or skips the test when Xvfb is missing.
#define KL_START_XVFB(var, w, h)                                                    \
    if (!std::filesystem::exists(::kl::test::kXvfb)) GTEST_SKIP() << "Xvfb is not installed"; \
    ::kl::test::Xvfb var(w, h);                                                     \
    ASSERT_TRUE(var.started())

// Holds monitors set by the stand-in while it runs: "NAME:WxH+X+Y", the first primary.
inline std::unique_ptr<StandinProcess> splitMonitors(std::vector<std::string> monitors) {
    monitors.insert(monitors.begin(), KL_SCREEN_MONITORS);
    auto process = std::make_unique<StandinProcess>(monitors);
    auto ready = process->waitFor([](const nlohmann::json& l) { return l.value("ready", false); },
                                  std::chrono::seconds(10));
    return ready ? std::move(process) : nullptr;
}

// An X client of the test's own (Xlib stays in the .cpp: its macros clash with ordinary names).
class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    bool connected() const { return display_ != nullptr; }
    uint32_t atom(const char* name);
    // Fills a root area with a pattern that differs between neighbouring pixels.
    void drawPattern(int x, int y, int w, int h);
    static uint32_t patternPixel(int x, int y) {
        return uint32_t((x * 7 + y * 13) & 0xFF) << 16 | uint32_t((x ^ y) & 0xFF) << 8 | uint32_t((x + 3 * y) & 0xFF);
    }
    // A desktop that is hard on JPEG: smooth gradients, a band of noise and lines of text.
    void drawTestDesktop(int w, int h);
    // Fills a root area with one colour (0xRRGGBB).
    void fill(int x, int y, int w, int h, uint32_t rgb);
    // Maps a window over a root area showing a size x size cursor with the given hot spot: an
    // opaque red diagonal stripe on transparent pixels (blank: every pixel transparent), and moves the pointer into it.
    void showCursorWindow(int x, int y, int w, int h, int size, int hotX, int hotY, bool blank);

    // A mapped, named top-level window (no window manager runs); its id.
    unsigned long showWindow(const char* name, int x, int y, int w, int h);
    void moveWindow(unsigned long id, int x, int y);
    std::pair<int, int> windowOrigin(unsigned long id);
    // Acts as the desktop's settings manager, publishing a raw settings property.
    void ownSettings(const std::vector<uint8_t>& settings);

private:
    void* display_;
};

}  // namespace kl::test
