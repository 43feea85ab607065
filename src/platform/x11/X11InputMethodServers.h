// The X input-method servers registered on the root's XIM_SERVERS list, with the process behind
// each (found through the X-Resource extension from the client that owns the server's selection).
#pragma once

#include <string>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace kl {

struct X11InputMethodServer {
    unsigned long atom = 0;       // "@server=NAME"
    std::string name;             // the atom's name
    unsigned long ownerWindow = 0;
    int pid = 0;                  // 0 when the server does not say
    std::string programName;      // the executable's file name; "" when unknown
};

// Servers whose selection has an owner, in the list's order; at most limit of them.
std::vector<X11InputMethodServer> x11InputMethodServers(X11Connection& c, size_t limit = 400);

}  // namespace kl
