// The CLIPBOARD selection: read what its owner offers, and own it with contents of our own. An X
// selection lives only while its owner answers requests for it, so the owning side runs a thread
// of its own with a connection of its own that serves them until the object goes.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Value.h"
#include "platform/x11/X11Connection.h"

namespace kl {

// Each target (type) with its data.
using X11ClipboardContents = std::vector<std::pair<std::string, Bytes>>;

class X11Clipboard {
public:
    // Null when no X server answers.
    static std::unique_ptr<X11Clipboard> open();
    ~X11Clipboard();
    X11Clipboard(const X11Clipboard&) = delete;
    X11Clipboard& operator=(const X11Clipboard&) = delete;

    // What the clipboard's owner offers now, target by target (targets that give no data are left
    // out); empty when no one owns it.
    X11ClipboardContents read(std::chrono::milliseconds timeout = std::chrono::milliseconds(500));
    // Owns the clipboard with these contents; empty contents leave the clipboard without owner.
    void own(X11ClipboardContents contents);

private:
    explicit X11Clipboard(std::unique_ptr<X11Connection> connection);
    void serve();
    void wake();
    void answer(void* selectionRequestEvent);

    std::unique_ptr<X11Connection> connection_;  // used under mutex_
    unsigned long window_ = 0;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    X11ClipboardContents contents_;  // guarded by mutex_
    bool owning_ = false;            // guarded by mutex_
    std::jthread thread_;
};

}  // namespace kl
