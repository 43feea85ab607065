#include "tunnel/sockcore/SocketTable.h"

#include <memory>

#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"
#include "tunnel/sockcore/TcpSocket.h"
#include "tunnel/sockcore/tree234.h"

namespace kl {
namespace {

int cmpfortree(void* av, void* bv) {
    auto* a = static_cast<TcpSocket*>(av);
    auto* b = static_cast<TcpSocket*>(bv);
    if (a->s != b->s) return a->s < b->s ? -1 : 1;
    return a < b ? -1 : a > b ? 1 : 0;
}

int cmpforsearch(void* key, void* elem) {
    int fd = *static_cast<int*>(key);
    int other = static_cast<TcpSocket*>(elem)->s;
    return fd < other ? -1 : fd > other ? 1 : 0;
}

// Made once, on first use from any thread; its contents are guarded by the core lock.
struct Tables {
    tree234* sktree = newtree234(cmpfortree);
    std::unique_ptr<char[]> rxbuf{new char[kReceiveBufferSize]};
};

Tables& tables() {
    static Tables* made = new Tables();  // for the process: sockets may outlive static destruction
    return *made;
}

tree234* table() {
    assertCoreLockHeld("socket table");
    return tables().sktree;
}

}  // namespace

void sk_init() {
    osxsel_init();
    tables();
}

void sktreeAdd(TcpSocket* s) { add234(table(), s); }
void sktreeDel(TcpSocket* s) { del234(table(), s); }
TcpSocket* sktreeFind(int fd) { return static_cast<TcpSocket*>(find234(table(), &fd, cmpforsearch)); }
int sktreeCount() { return count234(table()); }

char* receiveBuffer() {
    assertCoreLockHeld("receive buffer");
    return tables().rxbuf.get();
}

}  // namespace kl
