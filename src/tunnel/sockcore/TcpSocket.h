// The TCP implementation of the socket table: one record per connection or listener. Internal to
// the core; owners see it as a Socket. Every field is guarded by the core lock, and every
// operation requires it (see OSXSel.h); only descriptor() is for any thread.
#pragma once

#include <netdb.h>

#include <atomic>
#include <vector>

#include "tunnel/sockcore/Socket.h"
#include "tunnel/sockcore/bufchain.h"

namespace kl {

class TcpSocket final : public Socket, public std::enable_shared_from_this<TcpSocket> {
public:
    // A record that stays alive until close().
    static std::shared_ptr<TcpSocket> create(const PlugPtr& plug);

    std::shared_ptr<Plug> plug(std::shared_ptr<Plug> p) override;
    void close() override;
    void closeWhenDrained() override;
    int write(const void* data, int len) override;
    int writeOob(const void* data, int len) override;
    void flush() override {}
    void setFrozen(bool isFrozen) override;
    const char* socketError() override;
    void whenRoom(RoomCallback done) override;

    // The core's side, called under the core lock.
    int handleEvent(int event);     // one select event (SELECT_R, _W or _X)
    int tryConnect();               // one attempt at the current candidate; 0 or the error
    void uxselTell();               // registers the interest that the state calls for
    void becomeChild(TcpSocket* parent);
    void open(int fd);              // takes fd, registers its interest and enters the socket table
    // The descriptor as last set, for any thread (sk_ossocket: logs, getsockname); -1 when none.
    int descriptor() const { return descriptor_.load(std::memory_order_relaxed); }

    const char* error = nullptr;  // static text; null while healthy
    int s = -1;                   // the descriptor; the socket table's sort key
    std::weak_ptr<Plug> owner;
    bufchain outputData;
    bool connected = false;
    bool writable = false;
    bool frozen = false;
    bool frozenReadable = false;  // a readable event arrived while frozen
    bool localhostOnly = false;
    char oobdata[1] = {};
    int sendingOob = 0;
    bool oobpending = false;  // an urgent mark lies ahead in the inline stream
    bool oobinline = false;
    int pendingError = 0;  // the error of the last failed send
    bool listener = false;
    bool nodelay = false;
    bool keepalive = false;
    bool privport = false;
    int port = 0;
    SockAddrPtr addr;                 // candidates of an outgoing connection, until data arrives
    const addrinfo* step = nullptr;   // the candidate being tried
    TcpSocket* parent = nullptr;      // IPv6 listener of an IPv4 companion
    std::shared_ptr<TcpSocket> child; // IPv4 companion of an IPv6 listener

private:
    TcpSocket() = default;
    int acceptOne();
    int readData();
    int readUrgent();
    int finishConnect();
    int connectionFailed(int err);
    int reportClosing(const char* text, int code);
    void trySend();
    void sendFailed(int err);
    void backlogChanged();
    void closeIfDrained();
    void setDescriptor(int fd);  // s and its copy for other threads
    void closeDescriptor();      // stops watching s and closes it

    std::atomic<int> descriptor_{-1};  // s, readable without the core lock
    std::shared_ptr<TcpSocket> self_;  // the open socket's own reference, dropped by close()
    bool closed_ = false;
    bool closingReported_ = false;
    bool closeWhenDrained_ = false;
    std::vector<RoomCallback> roomWaiters_;  // whenRoom() callers while the backlog is over its limit
};

}  // namespace kl
