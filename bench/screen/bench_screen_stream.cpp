// The screen service as a viewer meets it, in one run: the latency from an X client's drawing to
// the viewer's decoded tile (median and 95th percentile), and the service's processor time over a
// window of an unchanging screen, first with no viewer and then with a viewer asking 30 updates a
// second, set beside the goals (under 0.5 % and under 3 % of one core).
//
//   bench_screen_stream [--window SECONDS] [--rate N] [--samples N]
//
// The service program of this build runs on $DISPLAY, or on a private 1920 x 1080 Xvfb when none is
// set, with ports of its own (free ones, through the environment) and a private home.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchXvfb.h"
#include "FreePort.h"
#include "ViewerClient.h"

// Last: Xlib's macros (Bool, Status, ...) clash with ordinary names.
#include <X11/Xlib.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Settings {
    int windowSeconds = 20;
    double rate = 30;
    int samples = 40;
};

Settings parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (option == "--window" && value >= 1) s.windowSeconds = int(value);
        else if (option == "--rate" && value > 0) s.rate = value;
        else if (option == "--samples" && value >= 1) s.samples = int(value);
        else {
            std::fprintf(stderr, "usage: bench_screen_stream [--window SECONDS] [--rate N] [--samples N]\n");
            std::exit(2);
        }
    }
    return s;
}

// Processor time (user and system) the process has used so far.
double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

pid_t startService(const std::filesystem::path& home) {
    for (const char* sub : {"config", "data", "cache", "run"}) std::filesystem::create_directories(home / sub);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(KL_SCREEN_SERVICE), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, KL_SCREEN_SERVICE, &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A viewer in this process whose update events are checked against the colour last drawn.
class ProbingViewer {
public:
    ProbingViewer(viewer::ViewerOptions options, int probeX, int probeY) : mProbeX(probeX), mProbeY(probeY) {
        mClient = std::make_unique<viewer::ViewerClient>(std::move(options), [this](const nlohmann::json& e) { onEvent(e); });
    }
    ~ProbingViewer() {
        mClient->stop();
        mClient->wait();
    }

    bool start() { return mClient->start(); }
    // Waits for the first update that carries pixels.
    bool waitStreaming(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, timeout, [this] { return mTiledUpdates > 0; });
    }
    // Arms the probe for colour (0xRRGGBB) drawn from now on.
    void expect(uint32_t colour) {
        std::lock_guard lock(mMutex);
        mExpected = colour;
        mSeen.reset();
    }
    // When the probe saw the colour, within timeout.
    std::optional<Clock::time_point> waitSeen(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mMutex);
        mChanged.wait_for(lock, timeout, [this] { return mSeen.has_value(); });
        return mSeen;
    }
    uint64_t updates() {
        std::lock_guard lock(mMutex);
        return mUpdates;
    }

private:
    void onEvent(const nlohmann::json& event) {
        if (event["event"] != "update") return;
        const auto now = Clock::now();
        const viewer::Picture& picture = mClient->stream().framebuffer().picture();
        std::lock_guard lock(mMutex);
        ++mUpdates;
        if (event["tiles"].get<int>() == 0) return;
        ++mTiledUpdates;
        if (mExpected && !mSeen && mProbeX < picture.width && mProbeY < picture.height) {
            const uint8_t* p = picture.at(mProbeX, mProbeY);  // BGRX
            const int want[3] = {int(*mExpected & 0xFF), int(*mExpected >> 8 & 0xFF), int(*mExpected >> 16 & 0xFF)};
            bool close = true;
            for (int i = 0; i < 3; ++i) close = close && std::abs(int(p[i]) - want[i]) <= 48;
            if (close) mSeen = now;
        }
        mChanged.notify_all();
    }

    const int mProbeX, mProbeY;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::optional<uint32_t> mExpected;
    std::optional<Clock::time_point> mSeen;
    uint64_t mUpdates = 0, mTiledUpdates = 0;
    std::unique_ptr<viewer::ViewerClient> mClient;  // last: stopped before the fields it reports into
};

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(share * double(values.size() - 1) + 0.5));
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    const Settings settings = parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    pid_t xvfb = -1;
    if (!std::getenv("DISPLAY")) xvfb = bench::startXvfb();
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "bench_screen_stream: no X display\n");
        bench::stopXvfb(xvfb);
        return 1;
    }
    const int screenWidth = DisplayWidth(display, DefaultScreen(display));
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));
    const Window root = DefaultRootWindow(display);
    GC gc = XCreateGC(display, root, 0, nullptr);
    XSetForeground(display, gc, 0x405060);
    XFillRectangle(display, root, gc, 0, 0, unsigned(screenWidth), unsigned(screenHeight));
    XSync(display, False);

    const uint16_t mainPort = viewer::freeLoopbackPort(SOCK_STREAM), clientPort = viewer::freeLoopbackPort(SOCK_DGRAM), serverPort = viewer::freeLoopbackPort(SOCK_DGRAM);
    setenv("KL_SCREEN_MAIN_PORT", std::to_string(mainPort).c_str(), 1);
    setenv("KL_SCREEN_CLIENT_SIDEBAND_PORT", std::to_string(clientPort).c_str(), 1);
    setenv("KL_SCREEN_SERVER_SIDEBAND_PORT", std::to_string(serverPort).c_str(), 1);
    const auto home = std::filesystem::temp_directory_path() / ("bench-screen-stream-" + std::to_string(getpid()));
    const pid_t service = startService(home);
    if (service <= 0) {
        std::fprintf(stderr, "bench_screen_stream: cannot start %s\n", KL_SCREEN_SERVICE);
        bench::stopXvfb(xvfb);
        return 1;
    }

    viewer::ViewerOptions options;
    options.port = mainPort;
    options.sidebandPort = clientPort;
    options.serverSidebandPort = serverPort;
    options.handshake.width = uint16_t(screenWidth);
    options.handshake.height = uint16_t(screenHeight);
    options.rate = settings.rate;
    options.heartbeatMs = 10000;
    const int boxX = screenWidth / 3, boxY = screenHeight / 3, boxW = 240, boxH = 160;

    // A viewer once the service listens (it takes a moment to start).
    auto connect = [&]() -> std::unique_ptr<ProbingViewer> {
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto probe = std::make_unique<ProbingViewer>(options, boxX + boxW / 2, boxY + boxH / 2);
            if (probe->start() && probe->waitStreaming(10s)) return probe;
            std::this_thread::sleep_for(100ms);
        }
        return nullptr;
    };

    int status = 0;
    std::vector<double> latencies;
    double idlePercent = -1, viewerPercent = -1, answersPerSecond = 0;
    if (auto probe = connect()) {
        std::this_thread::sleep_for(2s);  // the first whole screen and its cold resend
        const uint32_t colours[] = {0xE02020, 0x20D040, 0x2040E0, 0xF0F020, 0x20E0E0, 0xE020E0};
        std::mt19937 random(7);
        for (int i = 0; i < settings.samples; ++i) {
            const uint32_t colour = colours[size_t(i) % std::size(colours)];
            probe->expect(colour);
            const auto drawn = Clock::now();
            XSetForeground(display, gc, colour);
            XFillRectangle(display, root, gc, boxX, boxY, unsigned(boxW), unsigned(boxH));
            XSync(display, False);
            if (auto seen = probe->waitSeen(3s)) latencies.push_back(std::chrono::duration<double, std::milli>(*seen - drawn).count());
            // Out of step with the viewer's request pace, so the samples spread over its interval.
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 150));
        }
    } else {
        std::fprintf(stderr, "bench_screen_stream: no viewer could stream from the service\n");
        status = 1;
    }

    if (status == 0) {
        std::this_thread::sleep_for(2s);  // the viewer's connection ends and the service settles
        const double before = cpuSeconds(service);
        std::this_thread::sleep_for(std::chrono::seconds(settings.windowSeconds));
        idlePercent = (cpuSeconds(service) - before) / settings.windowSeconds * 100;

        if (auto probe = connect()) {
            std::this_thread::sleep_for(3s);  // past the whole screen's hot send and cold resend
            const double start = cpuSeconds(service);
            const uint64_t updatesBefore = probe->updates();
            std::this_thread::sleep_for(std::chrono::seconds(settings.windowSeconds));
            viewerPercent = (cpuSeconds(service) - start) / settings.windowSeconds * 100;
            answersPerSecond = double(probe->updates() - updatesBefore) / settings.windowSeconds;
        } else {
            status = 1;
        }
    }

    ::kill(service, SIGTERM);
    ::waitpid(service, nullptr, 0);
    XFreeGC(display, gc);
    XCloseDisplay(display);
    bench::stopXvfb(xvfb);
    std::filesystem::remove_all(home);

    std::printf("screen service, %dx%d screen, service build: %s\n", screenWidth, screenHeight, KL_BUILD_FLAVOUR);
    if (!latencies.empty()) {
        std::printf("latency from an X drawing to the viewer's decoded tile (viewer asking %.0f updates/s): median %.1f ms, "
                    "p95 %.1f ms, over %zu of %d drawings\n",
                    settings.rate, percentile(latencies, 0.5), percentile(latencies, 0.95), latencies.size(), settings.samples);
    }
    if (idlePercent >= 0) {
        std::printf("service CPU, unchanging screen, no viewer: %.3f %% of one core over %d s (goal: under 0.5 %%)\n",
                    idlePercent, settings.windowSeconds);
    }
    if (viewerPercent >= 0) {
        std::printf("service CPU, unchanging screen, viewer asking %.0f updates/s (%.1f answered/s): %.3f %% of one core "
                    "over %d s (goal: under 3 %%)\n",
                    settings.rate, answersPerSecond, viewerPercent, settings.windowSeconds);
    }
    return status;
}
