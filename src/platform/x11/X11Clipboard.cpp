#include "platform/x11/X11Clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kl {

namespace {

Window makeWindow(Display* d) {
    return XCreateSimpleWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, 0);
}

std::string atomName(Display* d, Atom atom) {
    std::string name;
    if (char* text = XGetAtomName(d, atom)) {
        name = text;
        XFree(text);
    }
    return name;
}

// Waits for the answer to a conversion request on window; false at the deadline.
bool waitForSelectionNotify(Display* d, Window w, XEvent& event, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        if (XCheckTypedWindowEvent(d, w, SelectionNotify, &event)) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        ::poll(&p, 1, int(std::min<long long>(left.count(), 50)));
        XEventsQueued(d, QueuedAfterReading);
    }
}

// Converts the clipboard to target into property on w; the data, or nothing.
std::optional<Bytes> convert(Display* d, Window w, Atom clipboard, Atom target, Atom property,
                             std::chrono::steady_clock::time_point deadline) {
    XConvertSelection(d, clipboard, target, property, w, CurrentTime);
    XFlush(d);
    XEvent event;
    if (!waitForSelectionNotify(d, w, event, deadline) || event.xselection.property == None) return std::nullopt;
    Atom actual;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<Bytes> result;
    if (XGetWindowProperty(d, w, property, 0, 1 << 24, True, AnyPropertyType, &actual, &format, &items, &after,
                           &data) == Success &&
        data && actual != XInternAtom(d, "INCR", False)) {
        size_t unit = format == 32 ? sizeof(long) : size_t(format / 8);
        result = Bytes(data, data + items * unit);
        if (format == 32) {  // atoms and numbers: keep them as 32-bit values, as the wire has them
            Bytes packed;
            for (unsigned long i = 0; i < items; ++i) {
                uint32_t v = uint32_t(reinterpret_cast<unsigned long*>(data)[i]);
                packed.insert(packed.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4);
            }
            result = std::move(packed);
        }
    }
    if (data) XFree(data);
    return result;
}

bool isMetaTarget(const std::string& name) {
    return name == "TARGETS" || name == "MULTIPLE" || name == "TIMESTAMP" || name == "SAVE_TARGETS" ||
           name == "DELETE" || name == "INSERT_SELECTION" || name == "INSERT_PROPERTY";
}

}  // namespace

std::unique_ptr<X11Clipboard> X11Clipboard::open() {
    auto connection = X11Connection::open();
    if (!connection) return nullptr;
    return std::unique_ptr<X11Clipboard>(new X11Clipboard(std::move(connection)));
}

X11Clipboard::X11Clipboard(std::unique_ptr<X11Connection> connection) : connection_(std::move(connection)) {
    auto* d = static_cast<Display*>(connection_->display());
    window_ = makeWindow(d);
    XFlush(d);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::jthread([this] { serve(); });
}

X11Clipboard::~X11Clipboard() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    ::close(wakeFd_);
}

void X11Clipboard::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void X11Clipboard::serve() {
    auto* d = static_cast<Display*>(connection_->display());
    while (!stopping_) {
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        ::poll(fds, 2, -1);
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        std::lock_guard lock(mutex_);
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == SelectionRequest) {
                answer(&event);
            } else if (event.type == SelectionClear) {
                owning_ = false;
                contents_.clear();
            }
        }
    }
}

// Called with mutex_ held.
void X11Clipboard::answer(void* requestEvent) {
    auto* d = static_cast<Display*>(connection_->display());
    const XSelectionRequestEvent& request = static_cast<XEvent*>(requestEvent)->xselectionrequest;
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.time = request.time;
    reply.xselection.property = None;
    Atom property = request.property != None ? request.property : request.target;  // obsolete requestors
    std::string target = atomName(d, request.target);
    // Larger data would need the incremental transfer, which no text typed by a viewer comes near.
    const size_t maxBytes = size_t(XMaxRequestSize(d)) * 4 - 1024;
    if (owning_ && target == "TARGETS") {
        std::vector<Atom> atoms = {XInternAtom(d, "TARGETS", False)};
        for (const auto& [name, data] : contents_) atoms.push_back(XInternAtom(d, name.c_str(), False));
        XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(atoms.data()), int(atoms.size()));
        reply.xselection.property = property;
    } else if (owning_) {
        auto it = std::find_if(contents_.begin(), contents_.end(), [&](const auto& c) { return c.first == target; });
        if (it != contents_.end() && it->second.size() <= maxBytes) {
            XChangeProperty(d, request.requestor, property, request.target, 8, PropModeReplace, it->second.data(),
                            int(it->second.size()));
            reply.xselection.property = property;
        }
    }
    XSendEvent(d, request.requestor, False, NoEventMask, &reply);
    XFlush(d);
    connection_->syncAndTakeError();  // a requestor that vanished meanwhile
}

X11ClipboardContents X11Clipboard::read(std::chrono::milliseconds timeout) {
    {
        std::lock_guard lock(mutex_);
        if (owning_) return contents_;
    }
    // A connection of the caller's own: the answers come as events, which the serving thread must
    // not take.
    auto reader = X11Connection::open();
    if (!reader) return {};
    auto* d = static_cast<Display*>(reader->display());
    Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    X11ClipboardContents contents;
    if (XGetSelectionOwner(d, clipboard) == None) return contents;
    Window w = makeWindow(d);
    Atom property = XInternAtom(d, "KL_CLIPBOARD_SAVE", False);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto targets = convert(d, w, clipboard, XInternAtom(d, "TARGETS", False), property, deadline);
    for (size_t i = 0; targets && i + 4 <= targets->size(); i += 4) {
        uint32_t atom;
        std::memcpy(&atom, targets->data() + i, 4);
        std::string name = atomName(d, atom);
        if (name.empty() || isMetaTarget(name)) continue;
        if (auto data = convert(d, w, clipboard, atom, property, deadline)) contents.emplace_back(name, std::move(*data));
    }
    XDestroyWindow(d, w);
    reader->syncAndTakeError();
    return contents;
}

void X11Clipboard::own(X11ClipboardContents contents) {
    {
        std::lock_guard lock(mutex_);
        auto* d = static_cast<Display*>(connection_->display());
        Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
        contents_ = std::move(contents);
        if (!contents_.empty()) {
            XSetSelectionOwner(d, clipboard, window_, CurrentTime);
            owning_ = XGetSelectionOwner(d, clipboard) == window_;
        } else if (owning_) {
            XSetSelectionOwner(d, clipboard, None, CurrentTime);
            owning_ = false;
        }
        XFlush(d);
    }
    wake();  // the round trip may have queued requests that poll will not report
}

}  // namespace kl
