// Runs the real daemon program on a private socket folder and state root, and talks to it as
// control apps do.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/ipc/klipc.h"
#include "platform/Value.h"

namespace kl::test {

class DaemonProcess {
public:
    struct Options {
        std::map<std::string, std::string> environment;  // added to the daemon's environment
        int loggingLevel = 2;                            // written as the "loggingLevel" preference
        int listenFd = -1;                               // passed as a systemd-activated socket
        Dictionary daemonPreferences;                    // the daemon's own preference domain
    };
    DaemonProcess() : DaemonProcess(Options{}) {}
    explicit DaemonProcess(Options options);
    // Ends the daemon (SIGKILL when it is still running).
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    pid_t pid() const { return pid_; }
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& socketDir() const { return socketDir_; }
    std::filesystem::path socketPath() const;
    // Waits until the control socket answers.
    bool waitUntilListening(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::string log() const;
    size_t logCount(const std::string& text) const;
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // SIGTERM and wait; the raw wait status, or nothing on time-out.
    std::optional<int> terminate(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for the process to end by itself; the raw wait status, or nothing on time-out.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

    // Descriptors and threads of the daemon, from /proc.
    size_t openDescriptors() const;
    size_t threads() const;

    // The start-up of a daemon on the same folders (a restart).
    void start();

private:
    Options options_;
    std::filesystem::path root_;
    std::filesystem::path socketDir_;
    std::filesystem::path logFile_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// A control app: one client connection, its daemon messages, and requests with or without reply.
class TestControlApp {
public:
    TestControlApp();
    ~TestControlApp();
    TestControlApp(const TestControlApp&) = delete;
    TestControlApp& operator=(const TestControlApp&) = delete;

    // Sends and waits for the reply; nothing when none came within the timeout or the connection
    // failed.
    std::optional<Dictionary> request(const Dictionary& message,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::optional<Dictionary> request(uint64_t command) { return request(Dictionary{{"command", Value(command)}}); }
    void send(const Dictionary& message);
    // Starts a request whose reply is collected in replies().
    void requestAsync(const Dictionary& message);

    std::vector<Dictionary> messages() const;
    std::vector<Dictionary> replies() const;
    bool waitForMessage(uint64_t command, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool hasMessage(uint64_t command) const;
    bool invalid() const;

private:
    struct Shared {
        mutable std::mutex mutex;
        mutable std::condition_variable changed;
        std::vector<Dictionary> messages;
        std::vector<Dictionary> replies;
        bool invalid = false;
    };
    std::shared_ptr<Shared> shared_;
    klipc_connection_t connection_ = nullptr;
};

// A loopback TCP port that nothing listens on (bound once, then closed).
int closedLoopbackPort();

// A message dictionary of a command number and keys.
Dictionary command(uint64_t number, Dictionary keys = {});

}  // namespace kl::test
