#include "support/TestEnvironment.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "foundation/KLTLogging.h"

namespace kl::test {
namespace {

std::filesystem::path gRoot;
std::atomic<int> gCounter{0};

void setEnv(const char* name, const std::filesystem::path& value) {
    std::filesystem::create_directories(value);
    ::setenv(name, value.c_str(), 1);
}

}  // namespace

const std::filesystem::path& tempRoot() { return gRoot; }

uint16_t freeLoopbackPort(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

std::filesystem::path makeTempDir(const std::string& prefix) {
    auto dir = gRoot / (prefix + "-" + std::to_string(gCounter++));
    std::filesystem::create_directories(dir);
    return dir;
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= end) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kl::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    char pattern[] = "/tmp/kl-test-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) return 2;
    kl::test::gRoot = dir;
    ::setenv("KL_ROOT", (kl::test::gRoot / "root").c_str(), 1);
    std::filesystem::create_directories(kl::test::gRoot / "root");
    kl::test::setEnv("HOME", kl::test::gRoot / "home");
    kl::test::setEnv("XDG_DATA_HOME", kl::test::gRoot / "home/.local/share");
    kl::test::setEnv("XDG_CONFIG_HOME", kl::test::gRoot / "home/.config");
    kl::test::setEnv("XDG_RUNTIME_DIR", kl::test::gRoot / "runtime");
    kl::setLogSink(kl::LogSink::Memory);
    int rc = RUN_ALL_TESTS();
    std::error_code ec;
    if (!::getenv("KL_KEEP_TEST_ROOT")) std::filesystem::remove_all(kl::test::gRoot, ec);
    return rc;
}
