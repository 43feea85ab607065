// NotifyBus: notifications between processes. Posting rewrites a file named after the notification
// in a shared run folder (the system's for every user, or this session's); observers watch that
// folder with inotify on a thread of their own and get the call on the executor they chose.
// A post carries a short payload; observers that want it read it from the file.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/Executors.h"

namespace kl {

class NotifyBus {
public:
    enum class Scope {
        System,   // /run/portweaver-notify: every user's programs see it
        Session,  // $XDG_RUNTIME_DIR/portweaver-notify: this session's programs
    };

    static std::filesystem::path folder(Scope scope);
    // false when the notification's file could not be written (or the name is not a file name).
    static bool post(std::string_view name, Scope scope, std::string_view payload = {});

    // Watches for posts of one notification until destroyed. The callback runs on executor (the
    // main loop's post, a serial queue's async, ...) once per post that the watch saw.
    class Observer {
    public:
        Observer(std::string name, Scope scope, std::function<void(Task)> executor, std::function<void()> callback);
        ~Observer();
        Observer(const Observer&) = delete;
        Observer& operator=(const Observer&) = delete;
        bool watching() const { return inotify_ >= 0; }

    private:
        void run(std::stop_token stop);

        std::string name_;
        std::function<void(Task)> executor_;
        std::shared_ptr<std::function<void()>> callback_;
        int inotify_ = -1;
        int wake_ = -1;  // eventfd that ends the watch thread
        std::jthread thread_;
    };
};

}  // namespace kl
