// A private Xvfb for the control-app tests, on a display it picks itself (-displayfd).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace kl::test {

inline constexpr const char* kXvfbPath = "/usr/bin/Xvfb";

class XvfbProcess {
public:
    // extra: more server arguments. display() stays empty when the server did not come up.
    explicit XvfbProcess(std::vector<std::string> extra = {}) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        // Prepared before the fork: the test process has threads.
        std::vector<std::string> argv = {kXvfbPath, "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::execv(kXvfbPath, args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (pid_ > 0 && ::poll(&p, 1, 10000) > 0) {
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            number.push_back(c);
        }
        ::close(fds[0]);
        if (!number.empty()) display_ = ":" + number;
    }
    ~XvfbProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    XvfbProcess(const XvfbProcess&) = delete;
    XvfbProcess& operator=(const XvfbProcess&) = delete;
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace kl::test
