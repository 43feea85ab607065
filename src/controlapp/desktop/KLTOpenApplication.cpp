#include "controlapp/desktop/KLTOpenApplication.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

extern char** environ;

namespace kl {

namespace {

// Only async-signal-safe calls between fork and exec: the app has threads.
[[noreturn]] void failChild(int reportFd, int error) {
    (void)!::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

}  // namespace

int openApplicationDetached(const std::filesystem::path& program) {
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return errno;
    pid_t child = ::fork();
    if (child < 0) {
        int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return error;
    }
    if (child == 0) {
        ::close(report[0]);
        if (::setsid() < 0) failChild(report[1], errno);
        // The intermediate child ends at once, so the program's parent becomes init.
        pid_t grandchild = ::fork();
        if (grandchild < 0) failChild(report[1], errno);
        if (grandchild > 0) ::_exit(0);
        int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null > STDIN_FILENO) ::dup2(null, STDIN_FILENO);
        else if (null == STDIN_FILENO) ::fcntl(null, F_SETFD, 0);
        // Nothing of the app (its lock, its sockets) may stay open in the program.
        ::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(path.c_str(), argv, environ);
        failChild(report[1], errno);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes unread when exec succeeded; otherwise it carries the errno.
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == ssize_t(sizeof error)) return error ? error : ECHILD;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return ECHILD;
    return 0;
}

}  // namespace kl
