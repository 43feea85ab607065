// Splits the screen of $DISPLAY into RandR monitors and holds them until its standard input closes
// (monitors die with the client that set them). Arguments: one "NAME:WxH+X+Y" per monitor; the
// first is primary and takes the screen's first output, so that the server's automatic
// whole-screen monitor goes. Prints {"ready":true} once the server holds them all. A line
// "delete NAME" on standard input removes that monitor again ({"deleted":"NAME"} when done).
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }
    Window root = DefaultRootWindow(display);
    XRRScreenResources* resources = XRRGetScreenResources(display, root);
    RROutput firstOutput = resources && resources->noutput ? resources->outputs[0] : 0;
    for (int i = 1; i < argc; ++i) {
        char name[64];
        int w, h, x, y;
        if (std::sscanf(argv[i], "%63[^:]:%dx%d+%d+%d", name, &w, &h, &x, &y) != 5) {
            std::fprintf(stderr, "bad monitor %s\n", argv[i]);
            return 2;
        }
        XRRMonitorInfo* monitor = XRRAllocateMonitor(display, i == 1 && firstOutput ? 1 : 0);
        monitor->name = XInternAtom(display, name, False);
        monitor->primary = i == 1;
        monitor->automatic = False;
        monitor->x = x;
        monitor->y = y;
        monitor->width = w;
        monitor->height = h;
        monitor->mwidth = w / 4;
        monitor->mheight = h / 4;
        if (i == 1 && firstOutput) monitor->outputs[0] = firstOutput;
        XRRSetMonitor(display, root, monitor);
        XRRFreeMonitors(monitor);
    }
    if (resources) XRRFreeScreenResources(resources);
    XSync(display, False);
    std::printf("{\"ready\":true}\n");
    std::fflush(stdout);
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        char name[64];
        if (std::sscanf(line, "delete %63s", name) != 1) continue;
        XRRDeleteMonitor(display, root, XInternAtom(display, name, False));
        XSync(display, False);
        std::printf("{\"deleted\":\"%s\"}\n", name);
        std::fflush(stdout);
    }
    XCloseDisplay(display);
    return 0;
}
