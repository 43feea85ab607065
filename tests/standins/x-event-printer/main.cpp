// An X client for the input tests: one window that takes the keyboard focus and prints what it
// receives, one JSON object per line: key presses with the text they type (through the locale's
// input method, so dead keys compose), button presses and releases, pointer motion, and the
// clipboard's text whenever Control+V is pressed. With --xim-server NAME it instead registers an
// input-method server of that name on the root, as such servers do, and holds it. Ends when its
// standard input closes.
//
//   kl_x_event_printer X Y WIDTH HEIGHT
//   kl_x_event_printer --xim-server NAME
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

void emit(const std::string& json) {
    std::printf("%s\n", json.c_str());
    std::fflush(stdout);
}

bool stdinClosed() {
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char c;
    return ::read(0, &c, 1) <= 0;
}

void waitForX(Display* d) {
    pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {0, POLLIN, 0}};
    ::poll(fds, 2, 200);
}

int ximServer(const char* name) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 1;
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    std::string atomName = std::string("@server=") + name;
    Atom server = XInternAtom(d, atomName.c_str(), False);
    XSetSelectionOwner(d, server, w, CurrentTime);
    Atom list = XInternAtom(d, "XIM_SERVERS", False);
    XChangeProperty(d, DefaultRootWindow(d), list, XA_ATOM, 32, PropModeAppend,
                    reinterpret_cast<unsigned char*>(&server), 1);
    XSync(d, False);
    emit("{\"event\":\"ready\",\"server\":" + quoted(atomName) + "}");
    while (!stdinClosed()) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
        }
        waitForX(d);
    }
    XCloseDisplay(d);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--xim-server") == 0) return ximServer(argv[2]);
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s X Y WIDTH HEIGHT | --xim-server NAME\n", argv[0]);
        return 2;
    }
    if (!std::setlocale(LC_ALL, "") || !XSupportsLocale()) std::setlocale(LC_ALL, "C.UTF-8");
    XSetLocaleModifiers("@im=none");  // Xlib's own input method: the locale's compose table
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 1;
    int x = std::atoi(argv[1]), y = std::atoi(argv[2]), width = std::atoi(argv[3]), height = std::atoi(argv[4]);
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, width, height, 0, 0, 0xffffff);
    XStoreName(d, w, "x-event-printer");
    long pid = getpid();
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    XSelectInput(d, w, KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                           StructureNotifyMask | FocusChangeMask | ExposureMask);
    XIM im = XOpenIM(d, nullptr, nullptr, nullptr);
    XIC ic = im ? XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, w, XNFocusWindow,
                            w, nullptr)
                : nullptr;
    XMapWindow(d, w);
    Atom clipboard = XInternAtom(d, "CLIPBOARD", False), utf8 = XInternAtom(d, "UTF8_STRING", False);
    Atom pasted = XInternAtom(d, "KL_PASTED", False);

    while (!stdinClosed()) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            bool filtered = XFilterEvent(&e, None);
            switch (e.type) {
                case MapNotify:
                    XSetInputFocus(d, w, RevertToParent, CurrentTime);
                    if (ic) XSetICFocus(ic);
                    XSync(d, False);
                    emit("{\"event\":\"ready\",\"window\":" + std::to_string(w) + ",\"im\":" + (ic ? "true" : "false") +
                         ",\"locale\":" + quoted(std::setlocale(LC_CTYPE, nullptr)) + "}");
                    break;
                case FocusIn: emit("{\"event\":\"focus\"}"); break;
                case KeyPress: {
                    char text[64] = {};
                    KeySym sym = NoSymbol;
                    Status status = 0;
                    int n = 0;
                    if (!filtered) {
                        n = ic ? Xutf8LookupString(ic, &e.xkey, text, sizeof text - 1, &sym, &status)
                               : XLookupString(&e.xkey, text, sizeof text - 1, &sym, nullptr);
                        if (n < 0 || n >= int(sizeof text)) n = 0;
                    } else {
                        sym = XLookupKeysym(&e.xkey, 0);
                    }
                    text[n] = 0;
                    const char* name = sym != NoSymbol ? XKeysymToString(sym) : nullptr;
                    bool control = e.xkey.state & ControlMask;
                    emit("{\"event\":\"key\",\"keycode\":" + std::to_string(e.xkey.keycode) +
                         ",\"state\":" + std::to_string(e.xkey.state) + ",\"control\":" + (control ? "true" : "false") +
                         ",\"filtered\":" + (filtered ? "true" : "false") + ",\"keysym\":" + quoted(name ? name : "") +
                         ",\"text\":" + quoted(control ? "" : text) + "}");
                    if (control && !filtered && (sym == XK_v || sym == XK_V)) {
                        XConvertSelection(d, clipboard, utf8, pasted, w, e.xkey.time);
                    }
                    break;
                }
                case SelectionNotify: {
                    std::string text;
                    if (e.xselection.property != None) {
                        Atom type;
                        int format;
                        unsigned long items, after;
                        unsigned char* data = nullptr;
                        if (XGetWindowProperty(d, w, pasted, 0, 1 << 20, True, AnyPropertyType, &type, &format, &items,
                                               &after, &data) == Success &&
                            data) {
                            text.assign(reinterpret_cast<char*>(data), items);
                            XFree(data);
                        }
                    }
                    emit("{\"event\":\"paste\",\"ok\":" + std::string(e.xselection.property != None ? "true" : "false") +
                         ",\"text\":" + quoted(text) + "}");
                    break;
                }
                case ButtonPress:
                case ButtonRelease:
                    emit("{\"event\":\"button\",\"button\":" + std::to_string(e.xbutton.button) +
                         ",\"down\":" + (e.type == ButtonPress ? "true" : "false") + ",\"x\":" +
                         std::to_string(e.xbutton.x_root) + ",\"y\":" + std::to_string(e.xbutton.y_root) + "}");
                    break;
                case MotionNotify:
                    emit("{\"event\":\"motion\",\"x\":" + std::to_string(e.xmotion.x_root) +
                         ",\"y\":" + std::to_string(e.xmotion.y_root) + ",\"state\":" + std::to_string(e.xmotion.state) +
                         "}");
                    break;
                default: break;
            }
        }
        waitForX(d);
    }
    if (ic) XDestroyIC(ic);
    if (im) XCloseIM(im);
    XCloseDisplay(d);
    return 0;
}
