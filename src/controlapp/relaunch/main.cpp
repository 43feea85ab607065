// portweaver-relaunch <bundle> <pid>: waits (at most a minute) until process pid has ended, then
// replaces itself with the bundle's control app. The app starts it from a private copy, so that
// an update of the bundle may replace the original meanwhile.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: portweaver-relaunch <bundle> <pid>\n");
        return 2;
    }
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(argv[2], &end, 10);
    if (errno != 0 || end == argv[2] || *end != '\0' || pid <= 0) {
        std::fprintf(stderr, "portweaver-relaunch: bad process id %s\n", argv[2]);
        return 2;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (::kill(pid_t(pid), 0) == 0 || errno == EPERM) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "portweaver-relaunch: process %ld did not end\n", pid);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string app = std::string(argv[1]) + "/bin/portweaver";
    char* args[] = {app.data(), nullptr};
    ::execv(app.c_str(), args);
    std::perror("portweaver-relaunch: cannot start the control app");
    return 1;
}
