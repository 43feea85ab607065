// ViewerConnectionCore: what one viewer connection does with the bytes the viewer sends, free of
// sockets and threads so every path can be driven directly. The session that owns the socket feeds
// it what it read, sends what comes back, and carries out the actions (display activation, size
// change, update answers) on the threads that own them. The core is used by one thread at a time:
// the session serialises calls under its own lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/Value.h"
#include "screen/protocol/ClientHandshake.h"
#include "screen/server/ScreenServerState.h"

namespace kl {

// What a handshake asks of the server, decided by the state it arrives in.
enum class HandshakeAction {
    Activate,            // activate the display set for the viewer's capabilities
    ScheduleSizeChange,  // an activation is running or queued: apply this size when it ends
    Ignore,              // not waiting and not streaming: logged and dropped
};

// One thing the viewer asked for, in the order it was read.
struct ViewerRequest {
    enum Kind { Handshake, HeartBeat, UpdateRequest };
    Kind kind;
    HandshakeAction action = HandshakeAction::Ignore;  // Handshake only
    std::vector<IconHash> iconHashes;                  // Handshake only: icons the viewer holds
};

class ViewerConnectionCore {
public:
    // The protocol the application delegate speaks: 1 and 3 greet the viewer with the hello, and
    // with 1 the end of a connection returns the server to waiting instead of stopping it.
    explicit ViewerConnectionCore(int activeProtocol = 1);

    ScreenServerState state() const { return state_; }
    uint64_t attachedClientId() const { return attachedClientId_; }
    const ClientCapabilities& capabilities() const { return capabilities_; }
    const ClientHandshakeMsg& pendingDisplaySize() const { return pendingDisplaySize_; }
    bool sizeChangeQueued() const { return queuedResolution_; }
    const ProtocolVersionInfo& protocolVersion() const { return protocolVersion_; }

    // A viewer was accepted while waiting: the bytes to greet it with (possibly none).
    Bytes accept();

    // Appends bytes read from the main channel and answers the complete requests among them; a
    // partial message is kept for the next call. Unknown bytes are skipped one at a time.
    std::vector<ViewerRequest> feed(std::span<const uint8_t> bytes);

    // The answer to an update request when no update can be produced: in any state but
    // streaming, or when the update was not made.
    static Bytes emptyUpdate();

    // Activation: resolving the mode (3), then reconfiguring (4), then streaming (5) or, when the
    // display could not be activated, disconnecting (6). finishActivation answers whether a size
    // change queued meanwhile must now start another activation (with pendingDisplaySize()).
    void beginResolvingDisplayMode();
    void beginReconfiguring();
    bool finishActivation(bool activated);
    // A host display change passes 5 -> 4 -> 5 on its own; a size change the viewer asked for
    // meanwhile stays queued for the next activation.
    void endHostSizeChange() { state_ = ScreenServerState::Streaming; }
    // Set by the server itself: waiting at launch, disconnecting when the display is let go.
    void setState(ScreenServerState state) { state_ = state; }

    // The viewer connection ended: back to waiting, or stopped when the protocol says so.
    void connectionEnded();
    void reset();
    void stop();

private:
    HandshakeAction handshake(const ClientHandshake& handshake);

    int activeProtocol_;
    ScreenServerState state_ = ScreenServerState::Stopped;
    uint64_t attachedClientId_ = 0;
    ClientCapabilities capabilities_;
    ClientHandshakeMsg pendingDisplaySize_;
    ProtocolVersionInfo protocolVersion_;
    bool queuedResolution_ = false;
    Bytes pending_;  // read and not yet consumed
};

// A second viewer arriving while one is connected is sent the busy message carrying the connected
// viewer's id; only when that id is nonzero may it answer with it (8 bytes) to take over.
struct BusyExchange {
    Bytes busyMessage;
    bool awaitTakeOverReply = false;
};
BusyExchange startBusyExchange(uint64_t attachedClientId);
// Whether the reply (the bytes read within the time limit) takes the connection over.
bool takesOver(uint64_t attachedClientId, std::span<const uint8_t> reply);

}  // namespace kl
