// Hides the pointer of $DISPLAY the way an X client does while one types: an input-only window over
// the whole screen, above every other, whose cursor has no visible pixel. It draws nothing, so the
// screen's picture stays as it was. Prints {"ready":true} once the window is shown and holds it
// until its standard input closes.
#include <X11/Xlib.h>

#include <cstdio>

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }
    const Window root = DefaultRootWindow(display);
    const Pixmap empty = XCreatePixmap(display, root, 1, 1, 1);
    XColor black{};
    const Cursor blank = XCreatePixmapCursor(display, empty, empty, &black, &black, 0, 0);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager frames or moves it
    attributes.cursor = blank;
    const int screen = DefaultScreen(display);
    const Window cover = XCreateWindow(display, root, 0, 0, unsigned(DisplayWidth(display, screen)),
                                       unsigned(DisplayHeight(display, screen)), 0, 0, InputOnly, CopyFromParent,
                                       CWOverrideRedirect | CWCursor, &attributes);
    XMapRaised(display, cover);
    XSync(display, False);
    std::printf("{\"ready\":true}\n");
    std::fflush(stdout);
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
    }
    XCloseDisplay(display);
    return 0;
}
