// kl_x_app_window [--class NAME] [--title TEXT] [--geometry WxH+X+Y] [--colour RRGGBB]
//                 [--icon SIDE]... [--no-pid] [--opacity F] [--type TYPE] [--desktop N]
// Maps one top-level window and prints {"ready":true,"window":ID,"pid":PID}; it leaves when its
// standard input closes.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void setCardinals(Display* d, Window w, const char* name, const std::vector<long>& values) {
    XChangeProperty(d, w, XInternAtom(d, name, False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), int(values.size()));
}

}  // namespace

int main(int argc, char** argv) {
    std::string className = "KlApp", title = "window";
    int width = 200, height = 100, x = 10, y = 10;
    unsigned long colour = 0x3366cc;
    std::vector<int> iconSides;
    bool setPid = true;
    double opacity = -1;
    std::string type;
    long desktop = -1;
    for (int i = 1; i + 1 < argc || (i < argc && std::strcmp(argv[i], "--no-pid") == 0); ++i) {
        std::string arg = argv[i];
        if (arg == "--no-pid") { setPid = false; continue; }
        std::string value = argv[++i];
        if (arg == "--class") className = value;
        else if (arg == "--title") title = value;
        else if (arg == "--geometry") std::sscanf(value.c_str(), "%dx%d+%d+%d", &width, &height, &x, &y);
        else if (arg == "--colour") colour = std::strtoul(value.c_str(), nullptr, 16);
        else if (arg == "--icon") iconSides.push_back(std::atoi(value.c_str()));
        else if (arg == "--opacity") opacity = std::atof(value.c_str());
        else if (arg == "--type") type = value;
        else if (arg == "--desktop") desktop = std::atol(value.c_str());
    }
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 1;
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, unsigned(width), unsigned(height), 0, 0, colour);
    XStoreName(d, w, title.c_str());
    std::string instance = "instance";
    XClassHint hint{instance.data(), className.data()};
    XSetClassHint(d, w, &hint);
    if (setPid) setCardinals(d, w, "_NET_WM_PID", {long(getpid())});
    if (opacity >= 0) setCardinals(d, w, "_NET_WM_WINDOW_OPACITY", {long(opacity * 4294967295.0)});
    if (desktop >= 0) setCardinals(d, w, "_NET_WM_DESKTOP", {desktop});
    if (!type.empty()) {
        Atom atom = XInternAtom(d, ("_NET_WM_WINDOW_TYPE_" + type).c_str(), False);
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&atom), 1);
    }
    if (!iconSides.empty()) {
        std::vector<long> icon;
        for (int side : iconSides) {
            icon.push_back(side);
            icon.push_back(side);
            for (int p = 0; p < side * side; ++p) icon.push_back(long(0xFF000000u | (colour & 0xFFFFFF)) + (p % side));
        }
        setCardinals(d, w, "_NET_WM_ICON", icon);
    }
    XSelectInput(d, w, ExposureMask | StructureNotifyMask);
    XMapWindow(d, w);
    for (XEvent e;;) {  // until mapped, so the test reads a viewable window
        XNextEvent(d, &e);
        if (e.type == MapNotify) break;
    }
    XMoveWindow(d, w, x, y);
    XSync(d, False);
    std::printf("{\"ready\":true,\"window\":%lu,\"pid\":%d}\n", w, int(getpid()));
    std::fflush(stdout);
    pollfd fds[2] = {{0, POLLIN, 0}, {ConnectionNumber(d), POLLIN, 0}};
    for (;;) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
        }
        if (::poll(fds, 2, -1) < 0) break;
        if (fds[0].revents) {
            char c;
            if (::read(0, &c, 1) <= 0) break;
        }
    }
    XCloseDisplay(d);
    return 0;
}
