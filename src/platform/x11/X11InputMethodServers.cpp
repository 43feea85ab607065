#include "platform/x11/X11InputMethodServers.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kl {

namespace {

int ownerPid(Display* d, Window owner) {
    int eventBase, errorBase;
    if (!XResQueryExtension(d, &eventBase, &errorBase)) return 0;
    XResClientIdSpec spec{owner, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    int pid = 0;
    if (XResQueryClientIds(d, 1, &spec, &count, &values) == Success) {
        for (long i = 0; i < count && pid <= 0; ++i)
            if (XResGetClientIdType(&values[i]) == XRES_CLIENT_ID_PID) pid = XResGetClientPid(&values[i]);
        XResClientIdsDestroy(count, values);
    }
    return pid > 0 ? pid : 0;
}

std::string programName(int pid) {
    if (pid <= 0) return {};
    std::error_code error;
    auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (!error) return exe.filename().string();
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

std::vector<X11InputMethodServer> x11InputMethodServers(X11Connection& c, size_t limit) {
    auto* d = static_cast<Display*>(c.display());
    std::vector<X11InputMethodServer> servers;
    Atom list = XInternAtom(d, "XIM_SERVERS", True);
    if (list == None) return servers;
    Atom actual;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, c.root(), list, 0, 4096, False, XA_ATOM, &actual, &format, &items, &after, &data) !=
            Success ||
        !data || format != 32) {
        if (data) XFree(data);
        return servers;
    }
    auto* atoms = reinterpret_cast<Atom*>(data);
    for (unsigned long i = 0; i < items && servers.size() < limit; ++i) {
        Window owner = XGetSelectionOwner(d, atoms[i]);
        if (owner == None) continue;  // a stale entry of a server that has gone
        X11InputMethodServer server;
        server.atom = atoms[i];
        if (char* name = XGetAtomName(d, atoms[i])) {
            server.name = name;
            XFree(name);
        }
        server.ownerWindow = owner;
        server.pid = ownerPid(d, owner);
        server.programName = programName(server.pid);
        servers.push_back(std::move(server));
    }
    XFree(data);
    c.syncAndTakeError();
    return servers;
}

}  // namespace kl
