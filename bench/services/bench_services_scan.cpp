// One services scan on a machine with many processes: starts sleepers (a few of them as service
// programs with information lists), then times the scan against listing the same processes with
// ps, which is what one would reach for otherwise.
//
// Usage: bench_services_scan [sleepers=2000] [scans=50]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "daemon/model/PWServicesScan.h"
#include "platform/ValuePlist.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

pid_t spawn(const std::string& program, const char* seconds) {
    std::string arg0 = program;
    std::string arg1 = seconds;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    pid_t pid = 0;
    return ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

double medianMs(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int sleepers = argc > 1 ? std::atoi(argv[1]) : 2000;
    int scans = argc > 2 ? std::atoi(argv[2]) : 50;
    constexpr int kServicePrograms = 4;

    char pattern[] = "/tmp/bench-services-XXXXXX";
    fs::path dir = ::mkdtemp(pattern);
    std::vector<std::string> programs;
    for (int i = 0; i < kServicePrograms; ++i) {
        fs::path exe = dir / ("com.kelvaro.portweaver.service.bench" + std::to_string(i));
        fs::copy_file("/bin/sleep", exe);
        fs::permissions(exe, fs::perms::owner_all);
        kl::Dictionary info{{"PortweaverServices", "_bench._tcp"}, {"CFBundleShortVersionString", "1.0"},
                            {"CFBundleVersion", "1"}};
        auto data = kl::valueToPlist(kl::Value(info));
        std::ofstream(kl::infoListPathForExecutable(exe), std::ios::binary)
            .write(reinterpret_cast<const char*>(data->data()), std::streamsize(data->size()));
        programs.push_back(exe.string());
    }

    std::vector<pid_t> children;
    for (int i = 0; i < sleepers; ++i) {
        pid_t pid = spawn(i < kServicePrograms ? programs[size_t(i)] : "/bin/sleep", "300");
        if (pid < 0) {
            std::fprintf(stderr, "could start only %d sleepers\n", i);
            break;
        }
        children.push_back(pid);
    }
    ::usleep(500 * 1000);  // let every child reach exec

    size_t processes = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        processes += std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
    }

    std::vector<double> scanMs, psMs;
    size_t found = 0;
    for (int i = 0; i < scans; ++i) {
        auto start = Clock::now();
        auto services = kl::scanRunningServices();
        scanMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        found = services.size();
    }
    for (int i = 0; i < std::max(3, scans / 10); ++i) {
        auto start = Clock::now();
        int rc = std::system("ps -e -o pid=,comm= > /dev/null");
        psMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (rc != 0) std::fprintf(stderr, "ps failed\n");
    }

    for (pid_t pid : children) ::kill(pid, SIGKILL);
    for (pid_t pid : children) ::waitpid(pid, nullptr, 0);
    fs::remove_all(dir);

    double scan = medianMs(scanMs), ps = medianMs(psMs);
    std::printf("processes on the machine: %zu (sleepers started: %zu)\n", processes, children.size());
    std::printf("records per scan: %zu (service programs + 8 built-in)\n", found);
    std::printf("services scan: %.2f ms median over %d scans (goal: under 20 ms)\n", scan, scans);
    std::printf("ps -e listing: %.2f ms median\n", ps);
    std::printf("ratio ps / scan: %.1fx\n", ps / scan);
    return 0;
}
