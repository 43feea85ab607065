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
#include "support/XvfbServer.h"
#include "tunnel/StandinProcess.h"

extern char** environ;

namespace kl::test {

inline constexpr const char* kXvfb = kXvfbPath;

class Xvfb {
public:
    // width x height x 24, and this process's DISPLAY; started() is false when it could not come up.
    Xvfb(int width, int height)
        : server_({"-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24", "-noreset"}) {
        if (server_.display().empty()) return;
        ::setenv("DISPLAY", server_.display().c_str(), 1);
        X11Connection::closeForThisThread();
        DisplayServer::noteDisplayChange();  // forget what an earlier server of this process showed
    }
    ~Xvfb() { X11Connection::closeForThisThread(); }
    bool started() const { return !server_.display().empty(); }
    pid_t pid() const { return server_.pid(); }
    const std::string& display() const { return server_.display(); }

private:
    XvfbServer server_;
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
