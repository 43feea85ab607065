// A desktop session's buses for the accessibility tests: a session dbus-daemon and at-spi2-core's
// bus launcher on it, with $DBUS_SESSION_BUS_ADDRESS pointing at the session bus while it lives.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "screen/apps/accessibility/AccessibilityBusProbe.h"
#include "tunnel/StandinProcess.h"

namespace kl::test {

inline constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
inline constexpr const char* kBusLauncher = "/usr/libexec/at-spi-bus-launcher";

// The buses run with their output sent to /dev/null: the programs they start inherit it, and a
// pipe held by them would never reach its end.
class SessionBus {
public:
    // activation false: a bus that starts no services on demand (the standard session bus would
    // start at-spi2-core's launcher when asked for the accessibility bus).
    explicit SessionBus(bool activation = true) {
        ::unsetenv("AT_SPI_BUS_ADDRESS");
        char pattern[] = "/tmp/kl-session-XXXXXX";
        if (!::mkdtemp(pattern)) return;
        dir_ = pattern;
        std::string config = "--session";
        if (!activation) {
            std::ofstream(dir_ / "bus.conf") << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                               "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                                               "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                                               "<allow own=\"*\"/></policy></busconfig>\n";
            config = "--config-file=" + (dir_ / "bus.conf").string();
        }
        const auto socket = dir_ / "bus";
        daemon_ = quiet(std::string(kDbusDaemon) + " " + config + " --nofork --address=unix:path=" + socket.string());
        for (int i = 0; i < 100 && !std::filesystem::exists(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!std::filesystem::exists(socket)) return;
        address_ = "unix:path=" + socket.string();
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~SessionBus() {
        launcher_.reset();
        daemon_.reset();
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    bool started() const { return !address_.empty(); }

    // Starts at-spi2-core's launcher and waits until the accessibility bus answers.
    bool startAccessibilityBus() {
        launcher_ = quiet(std::string(kBusLauncher) + " --launch-immediately");
        for (int i = 0; i < 150; ++i) {
            if (probeAccessibilityBus()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

private:
    static std::unique_ptr<StandinProcess> quiet(const std::string& command) {
        return std::make_unique<StandinProcess>(
            std::vector<std::string>{"/bin/sh", "-c", "exec " + command + " >/dev/null 2>&1"});
    }

    std::filesystem::path dir_;
    std::string address_;
    std::unique_ptr<StandinProcess> daemon_;
    std::unique_ptr<StandinProcess> launcher_;
};

#define KL_REQUIRE_SESSION_BUS_TOOLS()                                                       \
    if (!std::filesystem::exists(::kl::test::kDbusDaemon) || !std::filesystem::exists(::kl::test::kBusLauncher)) \
    GTEST_SKIP() << "dbus-daemon or at-spi-bus-launcher is not installed"

}  // namespace kl::test
