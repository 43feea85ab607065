#include "DaemonTestSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "daemon/PWControlProtocol.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "foundation/ipc/KLIPCObjects.h"
#include "platform/Paths.h"
#include "platform/Preferences.h"
#include "support/TestEnvironment.h"

extern char** environ;

namespace kl::test {

namespace {

size_t countEntries(const std::filesystem::path& folder) {
    std::error_code error;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(folder, error); !error && it != std::filesystem::directory_iterator();
         it.increment(error))
        ++n;
    return n;
}

}  // namespace

DaemonProcess::DaemonProcess(Options options) : options_(std::move(options)) {
    root_ = makeTempDir("daemon-root");
    socketDir_ = makeTempDir("daemon-sock");
    logFile_ = root_ / "daemon.log";
    ::setenv(ipc::kSocketDirEnvironment, socketDir_.c_str(), 1);
    paths::setRoot(root_);
    {
        Preferences preferences(kPWControlServiceName);
        preferences.setValue("loggingLevel", Value(int64_t(options_.loggingLevel)));
        preferences.synchronize();
        Preferences daemonPreferences("com.kelvaro.portweaver.daemon");
        for (const auto& [key, value] : options_.daemonPreferences) daemonPreferences.setValue(key, value);
        daemonPreferences.synchronize();
    }
    paths::setRoot({});
    for (const auto& [path, text] : options_.rootFiles) {
        std::filesystem::path file = root_ / std::filesystem::path(path).relative_path();
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    start();
}

void DaemonProcess::start() {
    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("KL_ROOT=", 0) == 0 || entry.rfind("KLIPC_SOCKET_DIR=", 0) == 0) continue;
        variables.push_back(entry);
    }
    // The options' variables come first: the first of two entries of a name is the one read.
    for (const auto& [name, value] : options_.environment) variables.insert(variables.begin(), name + "=" + value);
    variables.push_back("KL_ROOT=" + root_.string());
    variables.push_back(std::string(ipc::kSocketDirEnvironment) + "=" + socketDir_.string());
    variables.push_back("KL_LOG_STDERR=1");
    variables.push_back("ASAN_OPTIONS=detect_leaks=0");
    if (options_.listenFd >= 0) {
        variables.push_back("LISTEN_FDS=1");
        variables.push_back(std::string("LISTEN_FDNAMES=") + kPWControlServiceName);
    }
    int logFd = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    reaped_ = false;
    pid_ = ::fork();
    if (pid_ == 0) {
        // A test binary that crashes takes its daemon with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(logFd, 2);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        if (options_.listenFd >= 0) {
            if (options_.listenFd == 3) ::fcntl(3, F_SETFD, 0);  // dup2 onto itself keeps close-on-exec
            else ::dup2(options_.listenFd, 3);
            variables.push_back("LISTEN_PID=" + std::to_string(::getpid()));
        }
        std::vector<char*> envp;
        for (auto& v : variables) envp.push_back(v.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(KL_DAEMON_PATH), nullptr};
        ::execve(KL_DAEMON_PATH, argv, envp.data());
        ::_exit(127);
    }
    ::close(logFd);
}

DaemonProcess::~DaemonProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::filesystem::path DaemonProcess::socketPath() const { return socketDir_ / kPWControlServiceName; }

bool DaemonProcess::waitUntilListening(std::chrono::milliseconds timeout) {
    return waitFor(
               [&] {
                   TestControlApp probe;
                   return probe.request(command(ePWControlAppToDaemonCommandSignInState), std::chrono::seconds(2))
                       .has_value();
               },
               timeout);
}

std::string DaemonProcess::log() const {
    std::ifstream in(logFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t DaemonProcess::logCount(const std::string& text) const {
    std::string all = log();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++n;
    return n;
}

bool DaemonProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitFor([&] { return logCount(text) > 0; }, timeout);
}

std::optional<int> DaemonProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (reaped_) return std::nullopt;
    int status = 0;
    bool done = waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!done) return std::nullopt;
    reaped_ = true;
    return status;
}

std::optional<int> DaemonProcess::terminate(std::chrono::milliseconds timeout) {
    ::kill(pid_, SIGTERM);
    return waitForExit(timeout);
}

size_t DaemonProcess::openDescriptors() const { return countEntries("/proc/" + std::to_string(pid_) + "/fd"); }
size_t DaemonProcess::threads() const { return countEntries("/proc/" + std::to_string(pid_) + "/task"); }

TestControlApp::TestControlApp() : shared_(std::make_shared<Shared>()) {
    connection_ = klipc_connection_create_client(kPWControlServiceName, nullptr, true);
    std::shared_ptr<Shared> shared = shared_;
    klipc_connection_set_event_handler(connection_, [shared](KLIPCMessageType type, klipc_object_t object) {
        std::lock_guard lock(shared->mutex);
        Value value;
        if (type == KLIPC_OK && ipc::valueFromObject(object, value) && value.asDictionary())
            shared->messages.push_back(*value.asDictionary());
        if (type == KLIPC_ERROR_CONNECTION_INVALID) shared->invalid = true;
        shared->changed.notify_all();
    });
    klipc_connection_resume(connection_);
}

TestControlApp::~TestControlApp() {
    klipc_connection_cancel(connection_);
    klipc_release(connection_);
}

void TestControlApp::requestAsync(const Dictionary& message) {
    ipc::ObjectRef object = ipc::objectFromValue(Value(message));
    std::shared_ptr<Shared> shared = shared_;
    klipc_connection_send_message_with_reply(connection_, object.get(), klipc_queue_global(),
                                             [shared](KLIPCMessageType type, klipc_object_t reply) {
                                                 std::lock_guard lock(shared->mutex);
                                                 Value value;
                                                 if (type == KLIPC_OK && ipc::valueFromObject(reply, value) &&
                                                     value.asDictionary())
                                                     shared->replies.push_back(*value.asDictionary());
                                                 else
                                                     shared->invalid = true;
                                                 shared->changed.notify_all();
                                             });
}

std::optional<Dictionary> TestControlApp::request(const Dictionary& message, std::chrono::milliseconds timeout) {
    size_t before;
    {
        std::lock_guard lock(shared_->mutex);
        before = shared_->replies.size();
    }
    requestAsync(message);
    std::unique_lock lock(shared_->mutex);
    if (!shared_->changed.wait_for(lock, timeout, [&] { return shared_->replies.size() > before || shared_->invalid; }) ||
        shared_->replies.size() <= before)
        return std::nullopt;
    return shared_->replies[before];
}

void TestControlApp::send(const Dictionary& message) {
    ipc::ObjectRef object = ipc::objectFromValue(Value(message));
    klipc_connection_send_message(connection_, object.get());
}

std::vector<Dictionary> TestControlApp::messages() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->messages;
}

std::vector<Dictionary> TestControlApp::replies() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->replies;
}

bool TestControlApp::hasMessage(uint64_t number) const {
    std::lock_guard lock(shared_->mutex);
    for (const auto& m : shared_->messages)
        if (const Value* c = m.find("command"); c && c->asUInt() == number) return true;
    return false;
}

bool TestControlApp::waitForMessage(uint64_t number, std::chrono::milliseconds timeout) const {
    return waitFor([&] { return hasMessage(number); }, timeout);
}

bool TestControlApp::invalid() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->invalid;
}

int closedLoopbackPort() { return freeLoopbackPort(SOCK_STREAM); }

Dictionary command(uint64_t number, Dictionary keys) {
    Dictionary message{{"command", Value(number)}};
    for (auto& [key, value] : keys) message.set(key, value);
    return message;
}

}  // namespace kl::test
