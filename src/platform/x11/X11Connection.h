// One connection to the X server per thread that uses X; a connection is never shared between
// threads. Protocol errors are recorded on the connection they happened on instead of ending the
// process; a lost server is logged and ends the process cleanly.
//
// The public headers of this layer stay free of Xlib's headers (whose macros clash with ordinary
// names); the handle is opaque and the .cpp files cast it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kl {

class X11Capture;

struct X11Rect {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const X11Rect&, const X11Rect&) = default;
};

class X11Connection {
public:
    // Null when the server cannot be reached. name null: $DISPLAY.
    static std::unique_ptr<X11Connection> open(const char* name = nullptr);
    // This thread's connection to $DISPLAY, opened on first use and closed when the thread ends;
    // null when no server answers.
    static X11Connection* forThisThread();
    // Closes this thread's connection (the next forThisThread opens a new one, e.g. after $DISPLAY
    // changed in a test).
    static void closeForThisThread();

    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    void* display() const { return display_; }  // Display*
    unsigned long root() const;
    int fd() const;
    // Waits for every request sent so far and answers the first error code recorded since the last
    // call (0 when none), clearing it.
    int syncAndTakeError();
    void flush();
    bool isLocal() const { return local_; }
    // A capturer bound to this connection, made on first use and released before the connection
    // closes.
    X11Capture& capture();

    // Where the layer's log lines go (standard error until set).
    static void setLogFunction(std::function<void(const std::string&)> log);
    static void log(const std::string& line);

private:
    explicit X11Connection(void* display);
    void* display_;
    bool local_ = true;
    std::unique_ptr<X11Capture> capture_;
};

}  // namespace kl
