#include "support/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kl::test {

XvfbServer::XvfbServer(const std::vector<std::string>& extra) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> argv = {kXvfbPath, "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    // posix_spawn rather than fork: test binaries have threads.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], fds[1]);  // keeps it open across exec
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&pid_, kXvfbPath, &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
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
    if (!number.empty()) display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

}  // namespace kl::test
