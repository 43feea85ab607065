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

class SessionBus {
public:
    // activation false: a bus that starts no services on demand (the standard session bus would
    // start at-spi2-core's launcher when asked for the accessibility bus).
    explicit SessionBus(bool activation = true) {
        ::unsetenv("AT_SPI_BUS_ADDRESS");
        std::vector<std::string> argv{kDbusDaemon, "--session", "--nofork", "--print-address=1"};
        if (!activation) {
            config_ = std::filesystem::temp_directory_path() / ("kl-session-bus-" + std::to_string(::getpid()) + ".conf");
            std::ofstream(config_) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                      "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                                      "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                                      "<allow own=\"*\"/></policy></busconfig>\n";
            argv = {kDbusDaemon, "--config-file=" + config_.string(), "--nofork", "--print-address=1"};
        }
        daemon_ = std::make_unique<StandinProcess>(argv);
        auto line = daemon_->waitFor([](const nlohmann::json& l) { return l.contains("line"); }, std::chrono::seconds(10));
        if (!line) return;
        address_ = (*line)["line"].get<std::string>();
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~SessionBus() {
        launcher_.reset();
        daemon_.reset();
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (!config_.empty()) std::filesystem::remove(config_);
    }
    bool started() const { return !address_.empty(); }

    // Starts at-spi2-core's launcher and waits until the accessibility bus answers.
    bool startAccessibilityBus() {
        launcher_ = std::make_unique<StandinProcess>(std::vector<std::string>{kBusLauncher, "--launch-immediately"});
        for (int i = 0; i < 100; ++i) {
            if (probeAccessibilityBus()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

private:
    std::string address_;
    std::filesystem::path config_;
    std::unique_ptr<StandinProcess> daemon_;
    std::unique_ptr<StandinProcess> launcher_;
};

#define KL_REQUIRE_SESSION_BUS_TOOLS()                                                       \
    if (!std::filesystem::exists(::kl::test::kDbusDaemon) || !std::filesystem::exists(::kl::test::kBusLauncher)) \
    GTEST_SKIP() << "dbus-daemon or at-spi-bus-launcher is not installed"

}  // namespace kl::test
