// The local proxy command: the connection is the standard input and output of a command run for
// it. The command is run directly (no shell): its template is split at blanks into words, and each
// word is expanded as the telnet command is, so a host name can never add words or shell syntax.
// When the connection is closed the command gets end of file and SIGTERM, and is reaped.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/sockcore/OSXSel.h"
#include "tunnel/sockcore/Proxy.h"
#include "tunnel/sockcore/SafeMemory.h"
#include "tunnel/sockcore/SocketErrors.h"
#include "tunnel/sockcore/bufchain.h"
#include "tunnel/sockcore/tree234.h"

extern char** environ;

namespace kl {
namespace {

constexpr size_t kLocalProxyReadSize = 20480;
constexpr auto kCommandGracePeriod = std::chrono::seconds(2);

// A write that turns a vanished reader into EPIPE instead of a process-ending SIGPIPE.
ssize_t writeWithoutSigpipe(int fd, const void* data, size_t length) {
    sigset_t pipeSignal, old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    ssize_t n = ::write(fd, data, length);
    int err = errno;
    if (n < 0 && err == EPIPE) {
        timespec none{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &none);  // the signal this write raised
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
}

// Waits for the command without holding a worker: polls, then insists after the grace period.
void reapCommand(pid_t pid, Clock::time_point deadline) {
    if (::waitpid(pid, nullptr, WNOHANG) != 0) return;  // reaped, or not ours any more
    if (Clock::now() >= deadline) {
        ::kill(pid, SIGKILL);
        globalQueue().async([pid] { ::waitpid(pid, nullptr, 0); });
        return;
    }
    globalQueue().after(std::chrono::milliseconds(20), [pid, deadline] { reapCommand(pid, deadline); });
}

class LocalProxySocket;

// The open local-proxy sockets by the descriptor read from and the one written to; core lock.
tree234* fromCommandTree();
tree234* toCommandTree();
int localproxy_select_result(int fd, int event);

class LocalProxySocket final : public Socket, public std::enable_shared_from_this<LocalProxySocket> {
public:
    static std::shared_ptr<LocalProxySocket> create(const PlugPtr& owner) {
        std::shared_ptr<LocalProxySocket> s(new LocalProxySocket());
        s->owner_ = owner;
        s->self_ = s;
        return s;
    }

    std::shared_ptr<Plug> plug(std::shared_ptr<Plug> p) override {
        assertCoreLockHeld("Socket::plug");
        auto old = owner_.lock();
        if (p) owner_ = p;
        return old;
    }

    void close() override {
        assertCoreLockHeld("Socket::close");
        if (closed_) return;
        closed_ = true;
        for (int* fd : {&from_cmd, &to_cmd}) {
            if (*fd < 0) continue;
            del234(fd == &from_cmd ? fromCommandTree() : toCommandTree(), this);
            uxsel_del(*fd);
            ::close(*fd);
            *fd = -1;
        }
        bufchain_clear(&pendingOutput_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            reapCommand(pid_, Clock::now() + kCommandGracePeriod);
            pid_ = -1;
        }
        roomChanged();
        auto keep = std::move(self_);
    }

    int write(const void* data, int len) override {
        assertCoreLockHeld("Socket::write");
        if (closed_ || to_cmd < 0) return 0;
        if (len > 0) bufchain_add(&pendingOutput_, data, size_t(len));
        trySend(false);
        return int(bufchain_size(&pendingOutput_));
    }
    // Pipes carry no urgent data: it goes in line.
    int writeOob(const void* data, int len) override { return write(data, len); }
    void flush() override {}
    void setFrozen(bool isFrozen) override {
        assertCoreLockHeld("Socket::setFrozen");
        if (closed_) return;
        frozen_ = isFrozen;
        tellInterest();
    }
    const char* socketError() override {
        assertCoreLockHeld("Socket::socketError");
        return error_.empty() ? nullptr : error_.c_str();
    }
    void whenRoom(RoomCallback done) override {
        assertCoreLockHeld("Socket::whenRoom");
        roomWaiters_.push_back(std::move(done));
        roomChanged();
    }

    // Runs the command; false (with the error set) when it cannot.
    bool start(const std::vector<std::string>& words) {
        int toPipe[2], fromPipe[2];
        if (::pipe2(toPipe, O_CLOEXEC) < 0) return failStart("pipe: ", errno);
        if (::pipe2(fromPipe, O_CLOEXEC) < 0) {
            int err = errno;
            ::close(toPipe[0]);
            ::close(toPipe[1]);
            return failStart("pipe: ", err);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toPipe[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromPipe[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toPipe[0]);
        ::close(fromPipe[1]);
        if (rc != 0) {
            pid_ = -1;
            ::close(toPipe[1]);
            ::close(fromPipe[0]);
            return failStart("proxy command " + words[0] + ": ", rc);
        }
        to_cmd = toPipe[1];
        from_cmd = fromPipe[0];
        for (int fd : {to_cmd, from_cmd}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        add234(fromCommandTree(), this);
        add234(toCommandTree(), this);
        tellInterest();
        return true;
    }

    void setError(std::string text) { error_ = std::move(text); }

    void handle(int fd, int event) {
        auto keep = shared_from_this();  // the owner may close it in a callback
        if (fd == from_cmd && event == SELECT_R) readFromCommand();
        else if (fd == to_cmd && event == SELECT_W) trySend(true);
    }

    int to_cmd = -1;
    int from_cmd = -1;

private:
    LocalProxySocket() = default;

    bool failStart(const std::string& what, int err) {
        error_ = what + errorText(err);
        return false;
    }

    void tellInterest() {
        if (from_cmd >= 0) uxsel_set(from_cmd, frozen_ || endOfInput_ ? 0 : SELECT_R, localproxy_select_result);
        if (to_cmd >= 0) uxsel_set(to_cmd, bufchain_size(&pendingOutput_) > 0 ? SELECT_W : 0, localproxy_select_result);
    }

    // Under the core lock, wherever the queue shrinks or the socket fails.
    void roomChanged() {
        if (roomWaiters_.empty()) return;
        const bool dead = closed_ || writeFailed_;
        if (!dead && bufchain_size(&pendingOutput_) >= size_t(kSocketBacklogResume)) return;
        postRoomCallbacks(std::exchange(roomWaiters_, {}), !dead);
    }

    void readFromCommand() {
        char buffer[kLocalProxyReadSize];
        ssize_t n = ::read(from_cmd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        auto p = owner_.lock();
        if (n > 0) {
            if (p) p->receive(URGENT_NONE, buffer, int(n));
            return;
        }
        endOfInput_ = true;  // end of file, or a read error: either way nothing more comes
        int err = n < 0 ? errno : 0;
        tellInterest();
        if (p) p->closing(err ? errorText(err) : nullptr, err, 0);
    }

    // inPass: called from a result pass, where the owner may hear of progress and failure at once.
    void trySend(bool inPass) {
        while (bufchain_size(&pendingOutput_) > 0 && !writeFailed_) {
            void* data = nullptr;
            int length = 0;
            bufchain_prefix(&pendingOutput_, &data, &length);
            ssize_t n = writeWithoutSigpipe(to_cmd, data, size_t(length));
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) break;
                sendFailed(errno, inPass);
                return;
            }
            bufchain_consume(&pendingOutput_, size_t(n));
        }
        roomChanged();
        tellInterest();
        if (inPass)
            if (auto p = owner_.lock()) p->sent(int(bufchain_size(&pendingOutput_)));
    }

    void sendFailed(int err, bool inPass) {
        writeFailed_ = true;
        bufchain_clear(&pendingOutput_);
        fatalbox("%s", errorText(err));
        roomChanged();
        tellInterest();
        // Never from inside the owner's own write(): from a task, as a result pass would.
        if (inPass) {
            reportSendFailure(err);
            return;
        }
        globalQueue().async([weak = weak_from_this(), err] {
            auto s = weak.lock();
            if (!s) return;
            SocketCoreLock lock;
            s->reportSendFailure(err);
        });
    }

    // Under the core lock.
    void reportSendFailure(int err) {
        if (closed_) return;
        if (auto p = owner_.lock()) p->closing(errorText(err), err, 0);
    }

    std::weak_ptr<Plug> owner_;
    std::shared_ptr<LocalProxySocket> self_;
    pid_t pid_ = -1;
    bufchain pendingOutput_;
    bool frozen_ = false;
    bool endOfInput_ = false;
    bool writeFailed_ = false;
    bool closed_ = false;
    std::string error_;
    std::vector<RoomCallback> roomWaiters_;  // whenRoom() callers while the backlog is over its limit
};

int compareFrom(void* a, void* b) {
    int x = static_cast<LocalProxySocket*>(a)->from_cmd, y = static_cast<LocalProxySocket*>(b)->from_cmd;
    return x < y ? -1 : x > y;
}
int compareTo(void* a, void* b) {
    int x = static_cast<LocalProxySocket*>(a)->to_cmd, y = static_cast<LocalProxySocket*>(b)->to_cmd;
    return x < y ? -1 : x > y;
}
int findFrom(void* key, void* b) {
    int x = *static_cast<int*>(key), y = static_cast<LocalProxySocket*>(b)->from_cmd;
    return x < y ? -1 : x > y;
}
int findTo(void* key, void* b) {
    int x = *static_cast<int*>(key), y = static_cast<LocalProxySocket*>(b)->to_cmd;
    return x < y ? -1 : x > y;
}

tree234* fromCommandTree() {
    static tree234* tree = newtree234(compareFrom);
    return tree;
}
tree234* toCommandTree() {
    static tree234* tree = newtree234(compareTo);
    return tree;
}

int localproxy_select_result(int fd, int event) {
    auto* s = static_cast<LocalProxySocket*>(find234(fromCommandTree(), &fd, findFrom));
    if (!s) s = static_cast<LocalProxySocket*>(find234(toCommandTree(), &fd, findTo));
    if (!s) return 1;
    s->handle(fd, event);
    return 1;
}

std::vector<std::string> commandWords(const SockAddrPtr& addr, const char* hostname, int port, const ProxyConfig& cfg) {
    std::vector<std::string> words;
    const std::string& command = cfg.proxy_telnet_command;
    size_t i = 0;
    while ((i = command.find_first_not_of(" \t", i)) != std::string::npos) {
        size_t end = command.find_first_of(" \t", i);
        ProxyConfig one = cfg;
        one.proxy_telnet_command = command.substr(i, end == std::string::npos ? std::string::npos : end - i);
        words.push_back(format_telnet_command(addr, hostname, port, one));
        i = end == std::string::npos ? command.size() : end;
    }
    return words;
}

}  // namespace

SocketPtr platform_new_connection(const SockAddrPtr& addr, const char* hostname, int port, bool, bool, bool, bool,
                                  const PlugPtr& plug, const ProxyConfig& cfg) {
    if (cfg.proxy_type != PROXY_CMD) return nullptr;
    assertCoreLockHeld("new_connection");
    osxsel_init();
    auto s = LocalProxySocket::create(plug);
    std::vector<std::string> words = commandWords(addr, hostname, port, cfg);
    if (words.empty() || words[0].empty()) {
        s->setError("Proxy error: no proxy command configured");
        return s;
    }
    if (!s->start(words)) KLLog(kKLTLoggingLevelError, "Local proxy: %s", s->socketError());
    return s;
}

}  // namespace kl
