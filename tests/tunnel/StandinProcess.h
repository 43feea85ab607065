// A child program of a test (the rendezvous stand-in, the tunnel node) that prints one JSON object
// per line: started with pipes on stdin and stdout, its lines collected by a reader thread, stopped
// (closing stdin, then SIGTERM, then SIGKILL) and reaped when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kl::test {

// Where the stand-in server lives in the source tree (a cached build may compile with relative paths,
// so the header's own path is no guide).
inline std::string rendezvousStandinPath() {
    return std::string(KL_SOURCE_DIR) + "/tests/standins/rendezvous/server.py";
}
inline const char* kSystemPython = "/usr/bin/python3";

class StandinProcess {
public:
    explicit StandinProcess(std::vector<std::string> argv) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        // The child's diagnostics only when the test's own log is echoed.
        if (!std::getenv("KL_LOG_ECHO")) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> args;
        for (auto& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        reader_ = std::thread([this] { readLines(); });
    }
    ~StandinProcess() { stop(); }
    StandinProcess(const StandinProcess&) = delete;
    StandinProcess& operator=(const StandinProcess&) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    void send(const std::string& line) {
        std::string text = line + "\n";
        if (stdin_ >= 0 && ::write(stdin_, text.data(), text.size()) < 0) std::perror("standin write");
    }

    // The first line (from index `from` on) for which match is true, waiting up to timeout.
    std::optional<nlohmann::json> waitFor(const std::function<bool(const nlohmann::json&)>& match,
                                          std::chrono::milliseconds timeout, size_t from = 0) {
        std::unique_lock lock(mutex_);
        std::optional<nlohmann::json> found;
        cv_.wait_for(lock, timeout, [&] {
            for (size_t i = from; i < lines_.size(); ++i) {
                if (match(lines_[i])) {
                    found = lines_[i];
                    return true;
                }
            }
            return ended_;
        });
        return found;
    }
    std::optional<nlohmann::json> waitForEvent(const std::string& event, std::chrono::milliseconds timeout,
                                               size_t from = 0) {
        return waitFor([&](const nlohmann::json& line) { return line.value("event", "") == event; }, timeout, from);
    }
    size_t count(const std::string& event) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& line : lines_) n += line.value("event", "") == event;
        return n;
    }
    std::vector<nlohmann::json> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    size_t lineCount() const {
        std::lock_guard lock(mutex_);
        return lines_.size();
    }

    // Closes stdin and waits for the exit; signals if it does not come. The exit status.
    int stop() {
        if (stdin_ >= 0) {
            ::close(stdin_);
            stdin_ = -1;
        }
        int status = -1;
        if (pid_ > 0) {
            if (!waitExit(status, std::chrono::seconds(5))) {
                ::kill(pid_, SIGTERM);
                if (!waitExit(status, std::chrono::seconds(5))) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, &status, 0);
                }
            }
            pid_ = -1;
            exitStatus_ = status;
        }
        if (reader_.joinable()) reader_.join();
        if (stdout_ >= 0) {
            ::close(stdout_);
            stdout_ = -1;
        }
        return exitStatus_;
    }
    // Sends a signal and waits for the exit status.
    int terminate(int signal = SIGTERM) {
        if (pid_ > 0) ::kill(pid_, signal);
        return stop();
    }

private:
    bool waitExit(int& status, std::chrono::milliseconds timeout) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void readLines() {
        std::string pending;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(stdout_, buffer, sizeof buffer);
            if (n <= 0) break;
            pending.append(buffer, size_t(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                auto parsed = nlohmann::json::parse(line, nullptr, false);
                if (parsed.is_discarded()) parsed = nlohmann::json{{"event", "unparsed"}, {"line", line}};
                std::lock_guard lock(mutex_);
                lines_.push_back(std::move(parsed));
                cv_.notify_all();
            }
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int exitStatus_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<nlohmann::json> lines_;
    bool ended_ = false;
};

// The rendezvous stand-in serving on an ephemeral loopback port.
class RendezvousStandin : public StandinProcess {
public:
    explicit RendezvousStandin(const std::string& keyHex, const std::string& mode = "normal")
        : StandinProcess({kSystemPython, rendezvousStandinPath(), "serve", "--bind", "127.0.0.1:0", "--key", keyHex,
                          "--mode", mode}) {
        if (auto line = waitForEvent("listening", std::chrono::seconds(20))) port_ = uint16_t(line->value("port", 0));
    }
    uint16_t port() const { return port_; }

private:
    uint16_t port_ = 0;
};

// Runs one of the stand-in's one-shot tools and returns the JSON line it printed (null if none).
inline nlohmann::json runStandinTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {kSystemPython, rendezvousStandinPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    StandinProcess tool(argv);
    tool.waitFor([](const nlohmann::json&) { return false; }, std::chrono::seconds(20));  // until it ends
    auto lines = tool.lines();
    tool.stop();
    return lines.empty() ? nlohmann::json() : lines.back();
}

}  // namespace kl::test
