// The screen service program started by a test on the test's display and ports, its standard error
// (its log) collected by a reader thread; killed and reaped when the object goes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kl::test {

class ServiceProcess {
public:
    // extraEnvironment: "NAME=value" entries added to the test's own environment.
    explicit ServiceProcess(std::vector<std::string> extraEnvironment) {
        extraEnvironment.push_back("KL_LOG_STDERR=1");
        std::vector<std::string> env;
        // The first entry of a name wins: leave out the inherited ones the test replaces.
        auto replaced = [&](const std::string& entry) {
            std::string name = entry.substr(0, entry.find('=') + 1);
            for (const auto& e : extraEnvironment)
                if (e.compare(0, name.size(), name) == 0) return true;
            return false;
        };
        for (char** e = environ; *e; ++e)
            if (!replaced(*e)) env.emplace_back(*e);
        for (auto& e : extraEnvironment) env.push_back(std::move(e));
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        char program[] = KL_DESKGATE_PROGRAM;
        char* argv[] = {program, nullptr};
        if (::posix_spawn(&pid_, program, &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(err[1]);
        reader_ = std::thread([this, fd = err[0]] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
                std::lock_guard lock(mutex_);
                log_.append(buffer, size_t(n));
                cv_.notify_all();
            }
            ::close(fd);
        });
    }
    ~ServiceProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
    }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return log_.find(text) != std::string::npos; });
    }
    std::string log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    // The exit status once the program ended by itself within timeout; -1 when it still runs.
    int waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                if (reader_.joinable()) reader_.join();
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    int terminate() {
        ::kill(pid_, SIGTERM);
        return waitForExit();
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string log_;
};

}  // namespace kl::test
