// Display activation for a viewer, and the host's own display changes.
#include <cmath>
#include <set>

#include "foundation/KLTLogging.h"
#include "screen/DisplayModes.h"
#include "screen/KLTScreen.h"
#include "screen/protocol/ServerMessages.h"
#include "screen/server/ScreenServer.h"

namespace kl {
namespace {

std::vector<int> modesForCapabilities(const ClientCapabilities& capabilities) {
    const uint16_t retina = capabilities.retinaFlags;
    const int orientation = retina & 0x04;
    const bool useRetina = false;  // retina resolutions are never switched on
    if (retina & 0x02) return compatibleModesForiPadRetinaDisplayWithOrientation(orientation, useRetina);
    if (retina & 0x01) return compatibleModesForiPhoneRetinaDisplayWithOrientation(orientation, useRetina, false);
    if (retina & 0x10) return compatibleModesForiPhoneRetinaDisplayWithOrientation(orientation, useRetina, true);
    return {};
}

std::set<uint32_t> memberIDs(KLTDisplaySet& set) {
    std::set<uint32_t> ids;
    for (const auto& display : set.displays()) ids.insert(display->displayID());
    return ids;
}

std::set<uint32_t> activeScreenIDs() {
    std::set<uint32_t> ids;
    for (const auto& screen : KLTScreen::screens()) ids.insert(screen->displayID());
    return ids;
}

std::string sizeText(Size size) { return std::to_string(int(size.width)) + "x" + std::to_string(int(size.height)); }

}  // namespace

// An activation talks to the display server and to the viewer and waits for the frame-buffer lock:
// it runs on the server's display thread, in turn with the other activations, not on the pool.
void ScreenServer::activateOrChangeDisplayOnGlobalQueue(const ClientHandshakeMsg& msg, bool isHostRequest,
                                                        uint64_t connectionID) {
    mDisplayWork.post([weak = weak_from_this(), msg, isHostRequest, connectionID] {
        if (auto self = weak.lock()) self->activateOrChangeDisplay(msg, isHostRequest, connectionID);
    });
}

void ScreenServer::activateOrChangeDisplay(ClientHandshakeMsg msg, bool isHostRequest, uint64_t connectionID) {
    std::lock_guard frameBuffer(mFrameBufferLock);
    auto c = connection();
    if (!c || c->id != connectionID) return;  // the viewer left before its activation ran
    if (isHostRequest) msg.capabilities = capabilities();

    if (screen()) disconnectFromDevice();
    const int requested = msg.displayMode;
    const int mode = resolveDisplayMode(msg, *c);
    if (isHostRequest && requested != 0 && requested != mode) {
        KLLog(kKLTLoggingLevelInfo,
              ">>>>>>>>>> activateOrChangeDisplay: possible mismatch between host and client's secondary displays.");
        KLLog(kKLTLoggingLevelInfo, ">>>>>>>>>> activateOrChangeDisplay: client thinks mode = %d, host thinks mode = %d",
              requested, mode);
    }
    msg.displayMode = uint8_t(mode);
    withCore([](ViewerConnectionCore& core) { core.beginReconfiguring(); });

    std::vector<int> modes = modesForCapabilities(msg.capabilities);
    if (modes.empty()) modes.push_back(mode);
    didConnectToDevice(mDelegate->enableDisplayWithDisplayModes(modes));

    if (!clientReconfiguringScreen(*c)) {
        KLLog(kKLTLoggingLevelError, "activateOrChangeDisplay: the display could not be activated");
        disconnectFromDevice();
        withCore([](ViewerConnectionCore& core) { core.finishActivation(false); });
        return;
    }
    mDelegate->applicationSwitched(mDelegate->activeApplicationPID());
    bool again = withCore([](ViewerConnectionCore& core) { return core.finishActivation(true); });
    if (again) {
        KLLog(kKLTLoggingLevelDebug, "activateOrChangeDisplay: processing queued pending resolution");
        ClientHandshakeMsg pending = withCore([](ViewerConnectionCore& core) { return core.pendingDisplaySize(); });
        activateOrChangeDisplayOnGlobalQueue(pending, false, connectionID);
    } else {
        startWakeTimer(connectionID);
    }
}

int ScreenServer::resolveDisplayMode(const ClientHandshakeMsg& msg, ViewerConnection& c) {
    withCore([](ViewerConnectionCore& core) { core.beginResolvingDisplayMode(); });
    if (msg.displayMode != 0) return msg.displayMode;
    SupportedResolution best = findBestResolutionForScreenSize(mResolutions, msg.requestedDisplaySize.nominalWidth,
                                                               msg.requestedDisplaySize.nominalHeight);
    {
        std::lock_guard lock(mFieldsLock);
        mDisplayResolution = Size{std::trunc(best.width), std::trunc(best.height)};
    }
    notifyClientOfResolutionChange(c, true);
    return best.modeID;
}

bool ScreenServer::clientReconfiguringScreen(ViewerConnection& c) {
    auto set = screen();
    if (state() != ScreenServerState::Reconfiguring || !set) return false;
    mClientNeedsCursorPosUpdate = true;
    mClientNeedsCursorImageUpdate = true;
    Rect bounds = set->scaleCorrectedDisplayBounds();
    Size pixels = set->displaySizeInPixels();
    if (int64_t(pixels.width) != int64_t(bounds.size.width) || int64_t(pixels.height) != int64_t(bounds.size.height))
        KLLog(kKLTLoggingLevelInfo, "clientReconfiguringScreen: display bounds don't match display size");
    {
        std::lock_guard lock(mFieldsLock);
        mDisplayResolution = bounds.size;
        mDisplayScale = set->scale();
    }
    if (bounds.size.width == 0 || bounds.size.height == 0) return false;
    notifyClientOfResolutionChange(c, true);
    if (!mDelegate->isDisplayActive()) return false;
    c.encoder->setEncoderInformation(set, c.socket->netSocket(), capabilities());
    addWholeScreenToDirtyRectangles(c);
    return true;
}

void ScreenServer::notifyClientOfResolutionChange(ViewerConnection& c, bool forceReply) {
    Size size;
    {
        std::lock_guard lock(mFieldsLock);
        size = mDisplayResolution;
        bool changed = size != mClientDisplayResolution;
        mClientDisplayResolution = size;  // the viewer's size from now on, told or not
        if (!changed && !forceReply) return;
    }
    bool capable = withCore([](ViewerConnectionCore& core) { return core.protocolVersion().isVersionCapable(); });
    if (!capable) return;
    if (!c.session->send(writeResolutionChange(uint16_t(size.width), uint16_t(size.height))))
        KLLog(kKLTLoggingLevelInfo, "ScreenServer: the resolution change could not be sent");
}

void ScreenServer::screenReconfigured(uint32_t flags) {
    std::lock_guard frameBuffer(mFrameBufferLock);
    mScreenReconfigured = true;
    ScreenServerState now = state();
    if (flags & (kCGDisplayMirrorFlag | kCGDisplayUnMirrorFlag))
        KLLog(kKLTLoggingLevelInfo, "Switching mirroring mode to %d. State = %d", int((flags & kCGDisplayMirrorFlag) != 0),
              int(now));
    if (now == ScreenServerState::Streaming) {
        hostInitiatedScreenSizeChange(flags);
    } else if (now == ScreenServerState::Reconfiguring && (flags & kCGDisplayEnabledFlag) &&
               !(flags & kCGDisplayBeginConfigurationFlag)) {
        KLLog(kKLTLoggingLevelInfo, "  screenReconfigured: activating screen");
        mDisplayIsEnabled = true;
    }
}

void ScreenServer::hostInitiatedScreenSizeChange(uint32_t flags) {
    if (flags & kCGDisplayBeginConfigurationFlag) return;  // the end of the change follows
    auto c = connection();
    auto set = screen();
    if (!c || !set) return;
    // A display added or removed leaves the set describing displays that are gone: build it anew.
    bool rebuilt = false;
    if (memberIDs(*set) != activeScreenIDs()) {
        if (auto fresh = mDelegate->enableDisplayWithDisplayModes({})) {
            std::lock_guard lock(mFieldsLock);
            mScreen = set = fresh;
            rebuilt = true;
        }
    }
    set->finalizeSet();
    Size size = set->scaleCorrectedDisplayBounds().size;
    double scale = set->scale();
    Size old;
    double oldScale;
    {
        std::lock_guard lock(mFieldsLock);
        old = mDisplayResolution;
        oldScale = mDisplayScale;
    }
    if (!rebuilt && uint16_t(size.width) == uint16_t(old.width) && uint16_t(size.height) == uint16_t(old.height) &&
        scale == oldScale)
        return;
    KLLog(kKLTLoggingLevelInfo, "hostInitiatedScreenSizeChange from %s to %s, scale from %f to %f",
          sizeText(old).c_str(), sizeText(size).c_str(), oldScale, scale);
    withCore([](ViewerConnectionCore& core) { core.beginReconfiguring(); });
    clientReconfiguringScreen(*c);
    withCore([](ViewerConnectionCore& core) { core.endHostSizeChange(); });
}

void ScreenServer::startWakeTimer(uint64_t connectionID) {
    mLoop.post([weak = weak_from_this(), connectionID] {
        auto self = weak.lock();
        if (!self) return;
        auto c = self->connection();
        if (!c || c->id != connectionID) return;
        c->wakeTimer = self->mLoop.after(kWakeTimerDelay, [weak, connectionID] {
            if (auto self = weak.lock()) self->screenWakeTimer(connectionID);
        });
    });
}

void ScreenServer::screenWakeTimer(uint64_t connectionID) {
    auto c = connection();
    if (!c || c->id != connectionID) return;  // the timer ends with its connection
    if (screen() && state() == ScreenServerState::Streaming) {
        addWholeScreenToDirtyRectangles(*c);
        return;
    }
    c->wakeTimer = mLoop.after(kWakeTimerDelay, [weak = weak_from_this(), connectionID] {
        if (auto self = weak.lock()) self->screenWakeTimer(connectionID);
    });
}

}  // namespace kl
