#include "platform/x11/X11Connection.h"

#include "platform/x11/X11Capture.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace kl {

namespace {

std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}
// First error code per open connection, written by the process-wide error handler.
std::map<Display*, int>& errorCodes() {
    static std::map<Display*, int> codes;
    return codes;
}
std::function<void(const std::string&)>& logFunction() {
    static std::function<void(const std::string&)> f;
    return f;
}

int recordError(Display* display, XErrorEvent* event) {
    std::lock_guard lock(registryMutex());
    auto it = errorCodes().find(display);
    if (it != errorCodes().end() && it->second == 0) it->second = event->error_code;
    return 0;
}

// Nothing more can be shown or read once the server is gone: log and leave at once, without
// running exit handlers that would talk to the dead connection again.
void serverLost(Display*, void*) {
    X11Connection::log("X server connection lost; exiting");
    std::fflush(nullptr);
    std::_Exit(0);
}

int ioErrorLogged(Display*) {
    X11Connection::log("X server I/O error");
    return 0;
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(ioErrorLogged);
    });
}

thread_local std::unique_ptr<X11Connection> threadConnection;

}  // namespace

std::unique_ptr<X11Connection> X11Connection::open(const char* name) {
    installHandlers();
    Display* display = XOpenDisplay(name);
    if (!display) return nullptr;
    XSetIOErrorExitHandler(display, serverLost, nullptr);
    {
        std::lock_guard lock(registryMutex());
        errorCodes()[display] = 0;
    }
    std::unique_ptr<X11Connection> c(new X11Connection(display));
    // Shared memory only helps when the server runs on this machine.
    std::string displayName = DisplayString(display);
    c->local_ = !displayName.empty() && displayName[0] == ':';
    return c;
}

// A thread without a server tries again at its next call (the server may come up later).
X11Connection* X11Connection::forThisThread() {
    if (!threadConnection) threadConnection = open();
    return threadConnection.get();
}

void X11Connection::closeForThisThread() { threadConnection.reset(); }

X11Connection::X11Connection(void* display) : display_(display) {}

X11Capture& X11Connection::capture() {
    if (!capture_) capture_ = std::make_unique<X11Capture>(*this);
    return *capture_;
}

X11Connection::~X11Connection() {
    capture_.reset();
    auto* display = static_cast<Display*>(display_);
    XCloseDisplay(display);
    std::lock_guard lock(registryMutex());
    errorCodes().erase(display);
}

unsigned long X11Connection::root() const { return DefaultRootWindow(static_cast<Display*>(display_)); }

int X11Connection::fd() const { return ConnectionNumber(static_cast<Display*>(display_)); }

int X11Connection::syncAndTakeError() {
    auto* display = static_cast<Display*>(display_);
    XSync(display, False);
    std::lock_guard lock(registryMutex());
    int code = errorCodes()[display];
    errorCodes()[display] = 0;
    return code;
}

void X11Connection::flush() { XFlush(static_cast<Display*>(display_)); }

void X11Connection::setLogFunction(std::function<void(const std::string&)> log) {
    std::lock_guard lock(registryMutex());
    logFunction() = std::move(log);
}

void X11Connection::log(const std::string& line) {
    std::function<void(const std::string&)> f;
    {
        std::lock_guard lock(registryMutex());
        f = logFunction();
    }
    if (f)
        f(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace kl
