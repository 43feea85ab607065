#include "platform/NotifyBus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace kl {

namespace {

bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

// The folder every program may post into: sticky and world-writable for the system scope, like
// /tmp, so that no program can remove another's notification file.
bool ensureFolder(const std::filesystem::path& folder, NotifyBus::Scope scope) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return false;
    if (scope == NotifyBus::Scope::System) ::chmod(folder.c_str(), 01777);
    return true;
}

}  // namespace

std::filesystem::path NotifyBus::folder(Scope scope) {
    return (scope == Scope::System ? paths::systemRunDir() : paths::runtimeDir()) / "portweaver-notify";
}

bool NotifyBus::post(std::string_view name, Scope scope, std::string_view payload) {
    if (!isPlainName(name)) return false;
    std::filesystem::path dir = folder(scope);
    if (!ensureFolder(dir, scope)) return false;
    return bool(writeFileAtomically(dir / std::string(name), payload, 0644));
}

NotifyBus::Observer::Observer(std::string name, Scope scope, std::function<void(Task)> executor,
                              std::function<void()> callback)
    : name_(std::move(name)),
      executor_(std::move(executor)),
      callback_(std::make_shared<std::function<void()>>(std::move(callback))) {
    std::filesystem::path dir = folder(scope);
    if (!isPlainName(name_) || !ensureFolder(dir, scope)) return;
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A post renames its file into place (IN_MOVED_TO); a plain rewrite closes it (IN_CLOSE_WRITE).
    if (inotify_ < 0 || wake_ < 0 || ::inotify_add_watch(inotify_, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        if (inotify_ >= 0) ::close(inotify_);
        if (wake_ >= 0) ::close(wake_);
        inotify_ = wake_ = -1;
        return;
    }
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

NotifyBus::Observer::~Observer() {
    if (thread_.joinable()) {
        thread_.request_stop();
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
        thread_.join();
    }
    // Closed only after the thread that polls them has ended.
    if (inotify_ >= 0) ::close(inotify_);
    if (wake_ >= 0) ::close(wake_);
}

void NotifyBus::Observer::run(std::stop_token stop) {
    alignas(inotify_event) char buffer[4096];
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) break;
        ssize_t length = ::read(inotify_, buffer, sizeof buffer);
        for (ssize_t at = 0; length > 0 && at + ssize_t(sizeof(inotify_event)) <= length;) {
            auto* event = reinterpret_cast<inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (at > length || event->len == 0) continue;
            if (std::strncmp(event->name, name_.c_str(), event->len) == 0 && std::strlen(event->name) == name_.size()) {
                auto callback = callback_;
                executor_([callback] { (*callback)(); });
            }
        }
    }
}

}  // namespace kl
