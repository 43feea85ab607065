// A private avahi-daemon for tests: its own D-Bus system bus in a temporary folder, and the daemon
// in a network and mount namespace of its own, so it announces nothing on the machine's networks
// and touches none of the machine's avahi files. Needs root; tests skip without it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestEnvironment.h"

extern char** environ;

namespace kl::test {

class AvahiSandbox {
public:
    // Why the sandbox cannot run here, or empty.
    static std::string unavailableReason() {
        if (::geteuid() != 0) return "needs root for a network namespace";
        for (const char* tool : {"/usr/sbin/avahi-daemon", "/usr/bin/dbus-daemon", "/usr/bin/unshare", "/usr/bin/avahi-browse"})
            if (::access(tool, X_OK) != 0) return std::string("missing ") + tool;
        return {};
    }

    AvahiSandbox() : dir_(makeTempDir("avahi")) {
        const auto bus = dir_ / "bus";
        std::ofstream(dir_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>system</type><listen>unix:path="
            << bus.string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
        std::ofstream(dir_ / "avahi.conf") << "[server]\nhost-name=kltest\nuse-ipv4=yes\nuse-ipv6=yes\n"
                                              "enable-dbus=yes\nratelimit-burst=1000\n[publish]\n"
                                              "publish-workstation=no\npublish-hinfo=no\n";
        busAddress_ = "unix:path=" + bus.string();
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);
        dbus_ = spawn({"/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + (dir_ / "bus.conf").string()});
        waitFor([&] { return std::filesystem::exists(bus); }, std::chrono::seconds(10));
        startAvahi();
    }

    ~AvahiSandbox() {
        stopAvahi();
        stop(dbus_);
    }

    void startAvahi() {
        // /run and the static service folder get private copies, so this daemon's pid file and
        // services are its own.
        const std::string script =
            "ip link set lo up && mount -t tmpfs tmpfs /run && "
            "{ [ ! -d /etc/avahi/services ] || mount -t tmpfs tmpfs /etc/avahi/services; } && "
            "exec /usr/sbin/avahi-daemon --no-drop-root --no-chroot --no-rlimits -f " +
            (dir_ / "avahi.conf").string();
        avahi_ = spawn({"/usr/bin/unshare", "--net", "--mount", "--propagation", "private", "/bin/sh", "-c", script});
    }

    void stopAvahi() { stop(avahi_); }

    // avahi-browse's resolved lines for type: "interface;protocol;name;type;domain;host;address;port".
    std::vector<std::string> browse(const std::string& type) const {
        std::vector<std::string> lines;
        const std::string command = "timeout 10 /usr/bin/avahi-browse -k -p -t -r " + type + " 2>/dev/null";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return lines;
        char buffer[1024];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            std::string line(buffer);
            if (line.rfind("=;", 0) != 0) continue;
            while (!line.empty() && (line.back() == '\n')) line.pop_back();
            line = line.substr(2);
            // Drop the TXT field.
            if (auto last = line.rfind(';'); last != std::string::npos) line.erase(last);
            lines.push_back(unescaped(line));
        }
        ::pclose(pipe);
        return lines;
    }

private:
    // avahi-browse writes a name's special bytes as "\DDD" (decimal).
    static std::string unescaped(const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
                out.push_back(char(std::stoi(text.substr(i + 1, 3))));
                i += 3;
            } else {
                out.push_back(text[i]);
            }
        }
        return out;
    }

    static pid_t spawn(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    static void stop(pid_t& pid) {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }

    std::filesystem::path dir_;
    std::string busAddress_;
    pid_t dbus_ = -1;
    pid_t avahi_ = -1;
};

}  // namespace kl::test
