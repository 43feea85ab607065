// ScreenInputDispatcher: what the screen server's input socket receives, taken only from the
// connected viewer and turned into input on the host: taps, mouse buttons and moves, scrolling,
// keyboard datagrams, window requests and menu requests. Every call of the sink comes on the
// input socket's reader thread except viewerChanged; the injection state belongs to that thread.
#pragma once

#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "platform/Executors.h"
#include "platform/Preferences.h"
#include "screen/input/InputSourceFilter.h"
#include "screen/input/KLTKeyCodeUtilities.h"
#include "screen/input/MenuPresser.h"
#include "screen/input/Pasteboard.h"
#include "screen/input/PointerEventInjector.h"
#include "screen/input/RateLimitedLog.h"
#include "screen/server/InputDatagramSink.h"
#include "screen/server/KLTPreferences.h"

namespace kl {

class X11KeymapWatch;
class X11InputTarget;
class X11Connection;

inline constexpr const char* kReverseScrollwheelEventDirection = "ReverseScrollwheelEventDirection";
inline constexpr const char* kDontMoveMousePositionForScrollwheelEvent = "DontMoveMousePositionForScrollwheelEvent";

class ScreenInputDispatcher : public InputDatagramSink {
public:
    struct Dependencies {
        MainLoop* mainLoop = nullptr;  // runs the clipboard's delayed restore
        // Scale and origin of the display set's scale-corrected bounds (default: scale 1 at 0, 0).
        std::function<PointerEventInjector::Geometry()> geometry;
        std::weak_ptr<MenuPresser> menus;
        // Sends a datagram to the viewer's UDP sideband under the server's lock.
        std::function<void(std::span<const uint8_t>)> sendToViewer;
        uid_t sessionUser = ::getuid();
        InputSourceFilter::OwnerLookup socketOwner;  // default: the kernel's socket tables
        // Defaults: XTEST on the input thread's X connection, the X clipboard, the input-method
        // servers of the X server.
        KeyInjectionTarget* keys = nullptr;
        PointerInjectionTarget* pointer = nullptr;
        std::shared_ptr<Pasteboard> pasteboard;
        KLTKeyCodeUtilities::TapInventory tapInventory;
        // Activates window of the process; default: through _NET_ACTIVE_WINDOW.
        std::function<void(int pid, uint64_t window)> activateWindow;
    };

    explicit ScreenInputDispatcher(Dependencies dependencies);
    ~ScreenInputDispatcher() override;

    void handleInputDatagram(std::span<const uint8_t> datagram, const sockaddr_storage& from, socklen_t fromLength) override;
    void viewerChanged(const sockaddr_storage* viewer, socklen_t length) override;

    // The keyboard of the host as last read (reads it when the keymap changed). Input thread only.
    KLTKeyCodeUtilities& keyCodeUtilities();

private:
    void dispatch(const TapEventMessage& m);
    void dispatch(const KeyboardEventMessage& m);
    void dispatch(const WindowRequestMessage& m);
    void dispatch(const MouseEventMessage& m);
    void dispatch(const ScrollEventMessage& m);
    void dispatch(const MenuRequestMessage& m);
    bool reverseScrolling();
    void refreshKeyboard();
    void resetPointerIfViewerChanged();

    Dependencies deps_;
    InputSourceFilter filter_;
    RateLimitedLog refusals_;
    std::unique_ptr<X11InputTarget> xTarget_;
    PointerEventInjector pointer_;
    Preferences scrollPreferences_{kApplicationID};
    std::unique_ptr<KLTKeyCodeUtilities> keyUtilities_;
    X11Connection* watchedConnection_ = nullptr;  // whose keymap keyUtilities_ holds
    std::thread::id watchedThread_;               // the thread that connection belongs to
    std::unique_ptr<X11KeymapWatch> keymapWatch_;
    std::atomic<uint64_t> viewerGeneration_{0};
    uint64_t pointerGeneration_ = 0;  // input thread's view of viewerGeneration_
};

}  // namespace kl
