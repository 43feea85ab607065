// The two function tables that join a core socket and its owner.
//
// A Socket is what the core gives its owner (a TCP connection or listener); a Plug is what the
// owner gives the core (its callbacks). Both are abstract classes whose virtual functions are the
// table slots, in table order.
//
// Threads: every Socket operation requires the caller to hold the core lock (see OSXSel.h) and
// aborts when it does not. Every Plug callback runs under the core lock, in a result pass of the
// select thread (or, for a failed send found outside a pass, in a task of the global queue that
// takes it), so callbacks of one core never run at the same time. A callback calls straight back
// into the core (write, freeze, close its own socket); it never takes the lock again.
//
// Lifetimes: a socket holds its plug weakly (the owner holds the socket). A socket stays open
// until close() is called, even when its creator drops its pointer; after close() the object may
// live on in other threads' hands, and every operation on it does nothing.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "tunnel/sockcore/SockAddr.h"

namespace kl {

// Back-pressure. write() returns the bytes still queued; when that reaches kSocketBacklogLimit the
// writer must stop reading from its source (for a core socket: freeze it) until the queue drains:
// the owner's sent() reports the shrinking backlog, and a writer outside the core asks whenRoom()
// to be called back. Queued output then never exceeds the limit by more than one write.
inline constexpr int kSocketBacklogLimit = 1 << 20;
// The backlog below which a paused writer resumes (sent() reports it; whenRoom() calls back).
inline constexpr int kSocketBacklogResume = kSocketBacklogLimit / 2;

// Values of Plug::receive's urgent argument.
enum : int {
    URGENT_NONE = 0,         // normal data
    URGENT_BEFORE_MARK = 1,  // read before the urgent mark
    URGENT_DATA = 2,         // the urgent data itself
};

class Plug {
public:
    virtual ~Plug() = default;
    // type 0 before each connection attempt (text null, code 0); type 1 after an attempt failed,
    // with the system's text and error number.
    virtual void log(int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode) {}
    // The connection ended: text null and code 0 for an orderly end of stream, else the failure
    // (including a failed send). Called at most once per socket; the owner then closes it.
    // callingBack is always 0. The result is ignored.
    virtual int closing(const char* errorText, int errorCode, int callingBack) = 0;
    // Bytes arrived; data is valid only during the call. The result is ignored.
    virtual int receive(int urgent, const char* data, int len) = 0;
    // A writable event shrank the output queue to bufsize bytes.
    virtual void sent(int bufsize) {}
    // A listener accepted fd (non-blocking, close-on-exec). Return 0 to keep it (the owner then
    // wraps it with sk_register or closes it); non-zero makes the core close it.
    virtual int accepting(int fd) { return 1; }
};

class Socket {
public:
    virtual ~Socket() = default;
    // Returns the current owner; makes p the owner when p is not null.
    virtual std::shared_ptr<Plug> plug(std::shared_ptr<Plug> p) = 0;
    // Stops watching and closes the descriptor (and an IPv4 companion listener); runs once.
    virtual void close() = 0;
    // Closes once every queued byte is written, the socket fails, or half a minute has passed (a
    // reader that takes nothing); at once when nothing is queued. Meanwhile what arrives is read
    // and dropped, and the owner hears nothing more. The socket keeps itself open until then,
    // whoever drops it. A later close() cuts it short.
    virtual void closeWhenDrained() { close(); }
    // Queues len bytes behind any already queued and sends what the kernel takes at once.
    // Returns the bytes still queued; 0 bytes change nothing.
    virtual int write(const void* data, int len) = 0;
    // Replaces all queued output by one byte of urgent data (the first of data); returns the
    // urgent bytes still queued.
    virtual int writeOob(const void* data, int len) = 0;
    virtual void flush() = 0;
    // A frozen socket reads nothing; data that arrives meanwhile is delivered after unfreezing.
    virtual void setFrozen(bool isFrozen) = 0;
    // The text of the failure that made the socket unusable, or null while healthy.
    virtual const char* socketError() = 0;

    // For writers outside the core, so none holds a thread while the queue drains: done(true) once
    // the backlog is below kSocketBacklogResume, done(false) once the socket is closed or failed;
    // called once, from a task of the global queue (never under the core lock), and posted at once
    // when that is already so.
    using RoomCallback = std::function<void(bool room)>;
    virtual void whenRoom(RoomCallback done) = 0;

    // whenRoom() for a thread that may block (never a pool worker, nor under the core lock: it takes
    // the lock itself to ask): true when there is room, false when the timeout passes or the
    // socket is closed or failed.
    bool waitForRoom(std::chrono::milliseconds timeout);
};

// Hands each callback its answer from a task of the global queue.
void postRoomCallbacks(std::vector<Socket::RoomCallback> callbacks, bool room);

using SocketPtr = std::shared_ptr<Socket>;
using PlugPtr = std::shared_ptr<Plug>;

}  // namespace kl
