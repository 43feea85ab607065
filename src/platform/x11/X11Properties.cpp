#include "platform/x11/X11Properties.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kl {

std::vector<unsigned long> x11LongsProperty(Display* d, Window w, const char* name, Atom type, long maxLongs) {
    std::vector<unsigned long> values;
    Atom property = XInternAtom(d, name, True);
    if (property == None) return values;
    Atom actual = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, 0, maxLongs, False, type, &actual, &format, &items, &after, &data) ==
            Success &&
        data && format == 32) {
        auto* longs = reinterpret_cast<unsigned long*>(data);
        values.assign(longs, longs + items);
    }
    if (data) XFree(data);
    return values;
}

std::optional<std::string> x11WindowTitle(Display* d, Window w) {
    Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
    Atom actual = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> title;
    if (XGetWindowProperty(d, w, netName, 0, 1024, False, utf8, &actual, &format, &items, &after, &data) == Success &&
        data && format == 8)
        title = std::string(reinterpret_cast<char*>(data), items);
    if (data) XFree(data);
    if (!title) {
        char* plain = nullptr;
        if (XFetchName(d, w, &plain) && plain) {
            title = std::string(plain);
            XFree(plain);
        }
    }
    return title;
}

}  // namespace kl
