#include "screen/server/ViewerConnectionCore.h"

#include <algorithm>

#include "foundation/KLTLogging.h"
#include "screen/protocol/ClientMessages.h"
#include "screen/protocol/ServerMessages.h"

namespace kl {

ViewerConnectionCore::ViewerConnectionCore(int activeProtocol) : activeProtocol_(activeProtocol) {}

Bytes ViewerConnectionCore::accept() {
    pending_.clear();
    if (activeProtocol_ == 1 || activeProtocol_ == 3) return writeServerHello();
    return {};
}

std::vector<ViewerRequest> ViewerConnectionCore::feed(std::span<const uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::vector<ViewerRequest> requests;
    size_t used = 0;
    while (used < pending_.size()) {
        std::span<const uint8_t> rest(pending_.data() + used, pending_.size() - used);
        ClientMessageScan scan = scanClientMessage(rest);
        if (scan.kind == ClientMessageScan::NeedMore) break;
        switch (scan.kind) {
        case ClientMessageScan::Handshake:
            if (auto parsed = readClientHandshake(rest.first(scan.length))) {
                requests.push_back({ViewerRequest::Handshake, handshake(*parsed), std::move(parsed->iconHashes)});
            } else {
                KLLog(kKLTLoggingLevelError, "ScreenCapture: unreadable handshake from the viewer, byte skipped");
                scan.length = 1;
            }
            break;
        case ClientMessageScan::HeartBeat: requests.push_back({ViewerRequest::HeartBeat, {}, {}}); break;
        case ClientMessageScan::UpdateRequest: requests.push_back({ViewerRequest::UpdateRequest, {}, {}}); break;
        default: break;  // Skip: one unknown byte
        }
        used += std::max<size_t>(scan.length, 1);
    }
    pending_.erase(pending_.begin(), pending_.begin() + std::min(used, pending_.size()));
    return requests;
}

HandshakeAction ViewerConnectionCore::handshake(const ClientHandshake& handshake) {
    const ClientHandshakeMsg& msg = handshake.message;
    protocolVersion_ = ProtocolVersionInfo::fromHandshake(msg);
    attachedClientId_ = msg.capabilities.deskgateClientId;
    switch (state_) {
    case ScreenServerState::WaitingForViewer:
        capabilities_ = msg.capabilities;
        pendingDisplaySize_ = msg;
        return HandshakeAction::Activate;
    case ScreenServerState::Streaming:
        if (!queuedResolution_) {
            capabilities_ = msg.capabilities;
            pendingDisplaySize_ = msg;
            return HandshakeAction::Activate;
        }
        [[fallthrough]];
    case ScreenServerState::Reconfiguring:
        pendingDisplaySize_ = msg;
        queuedResolution_ = true;
        return HandshakeAction::ScheduleSizeChange;
    default:
        KLLog(kKLTLoggingLevelInfo, "ScreenCapture: ignoring processClientHandshakeMsg while in state %d", int(state_));
        return HandshakeAction::Ignore;
    }
}

Bytes ViewerConnectionCore::emptyUpdate() { return writeEmptyScreenUpdate(); }

void ViewerConnectionCore::beginResolvingDisplayMode() { state_ = ScreenServerState::ResolvingDisplayMode; }

void ViewerConnectionCore::beginReconfiguring() { state_ = ScreenServerState::Reconfiguring; }

bool ViewerConnectionCore::finishActivation(bool activated) {
    if (!activated) {
        // Handshakes are ignored from here on; the connection's end brings the server back.
        state_ = ScreenServerState::Disconnecting;
        queuedResolution_ = false;
        return false;
    }
    state_ = ScreenServerState::Streaming;
    if (!queuedResolution_) return false;
    queuedResolution_ = false;
    capabilities_ = pendingDisplaySize_.capabilities;
    return true;
}

void ViewerConnectionCore::reset() {
    attachedClientId_ = 0;
    queuedResolution_ = false;
    pending_.clear();
    state_ = ScreenServerState::WaitingForViewer;
}

void ViewerConnectionCore::stop() {
    reset();
    state_ = ScreenServerState::Stopped;
}

void ViewerConnectionCore::connectionEnded() {
    if (activeProtocol_ == 1)
        reset();
    else
        stop();
}

BusyExchange startBusyExchange(uint64_t attachedClientId) {
    return {writeServerBusy(attachedClientId), attachedClientId != 0};
}

bool takesOver(uint64_t attachedClientId, std::span<const uint8_t> reply) {
    if (attachedClientId == 0) return false;
    auto echoed = readBusyTakeOverReply(reply);
    return echoed && *echoed == attachedClientId;
}

}  // namespace kl
