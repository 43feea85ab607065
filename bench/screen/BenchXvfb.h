// A private Xvfb for the screen benchmarks when no $DISPLAY is set.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern char** environ;

namespace bench {

// Starts Xvfb at the given screen size ("1920x1080x24") and points $DISPLAY at it; its pid, or -1.
inline pid_t startXvfb(const char* screen = "1920x1080x24") {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"/usr/bin/Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen, "-nolisten", "tcp", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], fds[1]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (pid > 0 && poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(fds[0]);
    if (number.empty()) return -1;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return pid;
}

inline void stopXvfb(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

}  // namespace bench
