#include "platform/x11/X11Monitors.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstring>

namespace kl {

namespace {

Display* dpy(X11Connection& c) { return static_cast<Display*>(c.display()); }

bool hasMonitors(Display* d) {
    int event, error, major = 0, minor = 0;
    if (!XRRQueryExtension(d, &event, &error) || !XRRQueryVersion(d, &major, &minor)) return false;
    return major > 1 || (major == 1 && minor >= 5);
}

double refreshOf(const XRRModeInfo& m) {
    if (!m.hTotal || !m.vTotal) return 0;
    double v = double(m.vTotal);
    if (m.modeFlags & RR_DoubleScan) v *= 2;
    if (m.modeFlags & RR_Interlace) v /= 2;
    return double(m.dotClock) / (double(m.hTotal) * v);
}

X11Mode modeFrom(const XRRModeInfo& m) {
    X11Mode mode;
    mode.id = m.id;
    mode.width = m.width;
    mode.height = m.height;
    mode.refresh = refreshOf(m);
    mode.flags = m.modeFlags;
    mode.interlaced = m.modeFlags & RR_Interlace;
    mode.doubleScan = m.modeFlags & RR_DoubleScan;
    if (m.name) mode.name.assign(m.name, m.nameLength);
    return mode;
}

}  // namespace

std::vector<X11Monitor> x11Monitors(X11Connection& c) {
    std::vector<X11Monitor> result;
    Display* d = dpy(c);
    if (!hasMonitors(d)) return result;
    int count = 0;
    XRRMonitorInfo* info = XRRGetMonitors(d, c.root(), True, &count);
    if (!info) return result;
    for (int i = 0; i < count; ++i) {
        X11Monitor m;
        m.name = static_cast<uint32_t>(info[i].name);
        if (char* text = XGetAtomName(d, info[i].name)) {
            m.nameText = text;
            XFree(text);
        }
        m.primary = info[i].primary;
        m.bounds = {info[i].x, info[i].y, info[i].width, info[i].height};
        for (int o = 0; o < info[i].noutput; ++o) m.outputs.push_back(info[i].outputs[o]);
        result.push_back(std::move(m));
    }
    XRRFreeMonitors(info);
    return result;
}

const X11Monitor* x11PrimaryMonitor(const std::vector<X11Monitor>& monitors) {
    for (const auto& m : monitors)
        if (m.primary) return &m;
    return monitors.empty() ? nullptr : &monitors.front();
}

// Asked of the server each time: the size a connection learnt when it opened goes stale when
// RandR resizes the screen.
X11Rect x11RootBounds(X11Connection& c) {
    Display* d = dpy(c);
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    if (!XGetGeometry(d, c.root(), &root, &x, &y, &width, &height, &border, &depth)) {
        int screen = DefaultScreen(d);
        return {0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen)};
    }
    return {0, 0, int(width), int(height)};
}

X11DisplayInfo parseEdid(const uint8_t* edid, size_t length) {
    X11DisplayInfo info;
    static const uint8_t header[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    if (length < 128 || std::memcmp(edid, header, 8) != 0) return info;
    info.hasEdid = true;
    info.serial = uint32_t(edid[12]) | uint32_t(edid[13]) << 8 | uint32_t(edid[14]) << 16 | uint32_t(edid[15]) << 24;
    // Four 18-byte descriptors; tag 0xFC holds the product name, ended by a line feed.
    for (size_t at = 54; at + 18 <= 126; at += 18) {
        const uint8_t* desc = edid + at;
        if (desc[0] || desc[1] || desc[2] || desc[3] != 0xFC) continue;
        std::string name;
        for (size_t i = 5; i < 18 && desc[i] != 0x0A; ++i) name.push_back(static_cast<char>(desc[i]));
        while (!name.empty() && name.back() == ' ') name.pop_back();
        info.productName = name;
        break;
    }
    return info;
}

X11DisplayInfo x11DisplayInfo(X11Connection& c, const X11Monitor& monitor) {
    if (monitor.outputs.empty()) return {};
    Display* d = dpy(c);
    Atom edidAtom = XInternAtom(d, "EDID", True);
    if (edidAtom == None) return {};
    Atom type;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    X11DisplayInfo info;
    if (XRRGetOutputProperty(d, monitor.outputs.front(), edidAtom, 0, 64, False, False, AnyPropertyType, &type,
                             &format, &items, &after, &data) == Success &&
        data && format == 8) {
        info = parseEdid(data, items);
    }
    if (data) XFree(data);
    c.syncAndTakeError();  // an output that went away in between answers BadRROutput
    return info;
}

std::vector<X11Mode> x11ModesForMonitor(X11Connection& c, const X11Monitor& monitor) {
    std::vector<X11Mode> modes;
    if (monitor.outputs.empty()) return modes;
    Display* d = dpy(c);
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, c.root());
    if (!res) return modes;
    if (XRROutputInfo* out = XRRGetOutputInfo(d, res, monitor.outputs.front())) {
        for (int i = 0; i < out->nmode; ++i)
            for (int j = 0; j < res->nmode; ++j)
                if (res->modes[j].id == out->modes[i]) modes.push_back(modeFrom(res->modes[j]));
        XRRFreeOutputInfo(out);
    }
    XRRFreeScreenResources(res);
    c.syncAndTakeError();
    return modes;
}

std::optional<X11Mode> x11CurrentMode(X11Connection& c, const X11Monitor& monitor) {
    if (monitor.outputs.empty()) return std::nullopt;
    Display* d = dpy(c);
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, c.root());
    if (!res) return std::nullopt;
    std::optional<X11Mode> result;
    if (XRROutputInfo* out = XRRGetOutputInfo(d, res, monitor.outputs.front())) {
        if (out->crtc) {
            if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, res, out->crtc)) {
                for (int j = 0; j < res->nmode; ++j)
                    if (res->modes[j].id == crtc->mode) result = modeFrom(res->modes[j]);
                XRRFreeCrtcInfo(crtc);
            }
        }
        XRRFreeOutputInfo(out);
    }
    XRRFreeScreenResources(res);
    c.syncAndTakeError();
    return result;
}

bool x11SwitchMode(X11Connection& c, const X11Monitor& monitor, unsigned long modeId) {
    if (monitor.outputs.empty()) return false;
    Display* d = dpy(c);
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, c.root());
    if (!res) return false;
    bool ok = false;
    if (XRROutputInfo* out = XRRGetOutputInfo(d, res, monitor.outputs.front())) {
        if (out->crtc) {
            if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, res, out->crtc)) {
                RROutput output = monitor.outputs.front();
                ok = XRRSetCrtcConfig(d, res, out->crtc, CurrentTime, crtc->x, crtc->y, modeId, crtc->rotation,
                                      &output, 1) == Success;
                XRRFreeCrtcInfo(crtc);
            }
        }
        XRRFreeOutputInfo(out);
    }
    XRRFreeScreenResources(res);
    return c.syncAndTakeError() == 0 && ok;
}

}  // namespace kl
