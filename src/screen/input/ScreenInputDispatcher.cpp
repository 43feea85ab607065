#include "screen/input/ScreenInputDispatcher.h"

#include <filesystem>
#include <string>
#include <variant>

#include "foundation/KLNetSocketAddress.h"
#include "foundation/KLTLogging.h"
#include "platform/x11/X11Activation.h"
#include "platform/x11/X11KeyboardLayout.h"
#include "platform/x11/X11Windows.h"
#include "screen/BCDSystemVersion.h"
#include "screen/input/KLTEventTapManager.h"
#include "screen/input/KLTHostKeyboardEvent.h"
#include "screen/input/X11InputTarget.h"
#include "screen/input/X11Pasteboard.h"

namespace kl {

namespace {

constexpr uint8_t kFirstScrollwheelTap = 6;
constexpr uint8_t kLastScrollwheelTap = 8;

double steadySeconds() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

bool processRuns(int pid) { return pid > 0 && std::filesystem::exists("/proc/" + std::to_string(pid)); }

// The process's window with that id, else its topmost one.
void activateProcessWindow(int pid, uint64_t windowID) {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return;
    unsigned long chosen = 0;
    for (const X11WindowInfo& w : x11OnScreenWindows(*c)) {  // bottom to top
        if (w.pid != pid) continue;
        chosen = w.id;
        if (w.id == windowID) break;
    }
    if (!chosen) {
        KLLog(kKLTLoggingLevelInfo, "No window of process %d to bring forward", pid);
        return;
    }
    if (!x11ActivateWindow(*c, chosen)) KLLog(kKLTLoggingLevelInfo, "Window 0x%lx could not be activated", chosen);
}

}  // namespace

ScreenInputDispatcher::ScreenInputDispatcher(Dependencies dependencies)
    : deps_(std::move(dependencies)),
      filter_(deps_.sessionUser, deps_.socketOwner),
      xTarget_(std::make_unique<X11InputTarget>()),
      pointer_(deps_.pointer ? *deps_.pointer : *xTarget_, steadySeconds) {}

ScreenInputDispatcher::~ScreenInputDispatcher() = default;

void ScreenInputDispatcher::viewerChanged(const sockaddr_storage* viewer, socklen_t) {
    filter_.viewerChanged(viewer);
    ++viewerGeneration_;
}

void ScreenInputDispatcher::handleInputDatagram(std::span<const uint8_t> datagram, const sockaddr_storage& from, socklen_t) {
    auto verdict = filter_.check(from);
    if (verdict != InputSourceFilter::Accepted) {
        refusals_.log(std::string("Input datagram dropped, ") + InputSourceFilter::describe(verdict) + ": " +
                      socketAddressString(from));
        return;
    }
    InputDatagramRead read = readInputDatagram(datagram);
    if (!read) {
        refusals_.log(read.refusalText());
        return;
    }
    resetPointerIfViewerChanged();
    if (deps_.geometry) pointer_.setGeometry(deps_.geometry());
    std::visit([this](const auto& message) { dispatch(message); }, *read.datagram);
}

void ScreenInputDispatcher::resetPointerIfViewerChanged() {
    uint64_t generation = viewerGeneration_.load();
    if (generation == pointerGeneration_) return;
    pointerGeneration_ = generation;
    pointer_.reset();
    watchedConnection_ = nullptr;  // a new viewer comes with a new input thread and connection
    keymapWatch_.reset();
}

bool ScreenInputDispatcher::reverseScrolling() {
    scrollPreferences_.synchronize();
    bool reverse = BCDSystemVersionFunction() >= 0x0A0700;
    if (auto stored = scrollPreferences_.value(kReverseScrollwheelEventDirection); stored && stored->isBool())
        reverse = *stored->asBool();
    return reverse;
}

void ScreenInputDispatcher::dispatch(const TapEventMessage& m) {
    if (!KLTPreferences::sharedAppPrefs().enableTouchDisplay()) return;
    bool reverse = false, dontMove = false;
    if (m.tapType >= kFirstScrollwheelTap && m.tapType <= kLastScrollwheelTap) {
        reverse = reverseScrolling();
        auto stored = scrollPreferences_.value(kDontMoveMousePositionForScrollwheelEvent);
        dontMove = stored && stored->isBool() && *stored->asBool();
    }
    if (m.modifiers) keyCodeUtilities().postModifiers(*m.modifiers, true);
    pointer_.handleTap(m, reverse, dontMove);
    if (m.modifiers) keyCodeUtilities().postModifiers(*m.modifiers, false);
}

void ScreenInputDispatcher::dispatch(const KeyboardEventMessage& m) {
    KLTHostKeyboardEvent event(m, keyCodeUtilities(), [] {
        auto& prefs = KLTPreferences::sharedAppPrefs();
        prefs.synchronize();  // the switch is set by hand while the service runs
        return prefs.debuggingDontSendKBEvents();
    });
    if (event.isValid()) event.sendSynthesizedEvent();
}

void ScreenInputDispatcher::dispatch(const WindowRequestMessage& m) {
    if (X11Connection* c = X11Connection::forThisThread()) x11ResetScreenSaver(*c);
    int pid = int(uint32_t(m.applicationID));
    if (!processRuns(pid)) return;
    if (deps_.activateWindow)
        deps_.activateWindow(pid, m.windowID);
    else
        activateProcessWindow(pid, m.windowID);
}

void ScreenInputDispatcher::dispatch(const MouseEventMessage& m) { pointer_.handleMouse(m); }

void ScreenInputDispatcher::dispatch(const ScrollEventMessage& m) { pointer_.handleScroll(m, reverseScrolling()); }

void ScreenInputDispatcher::dispatch(const MenuRequestMessage& m) {
    auto menus = deps_.menus.lock();
    if (!menus) {
        KLLog(kKLTLoggingLevelInfo, "Menu request without a menu engine");
        return;
    }
    Bytes lowerMenu;
    switch (menus->pressMenu(m.elementHandle, m.applicationID, lowerMenu)) {
        case MenuPresser::LowerMenu:
            if (deps_.sendToViewer && !lowerMenu.empty()) deps_.sendToViewer(lowerMenu);
            break;
        case MenuPresser::NotFound:
            KLLog(kKLTLoggingLevelInfo, "Menu request for an unknown menu of application %llu",
                  static_cast<unsigned long long>(m.applicationID));
            break;
        case MenuPresser::Pressed: break;
    }
}

KLTKeyCodeUtilities& ScreenInputDispatcher::keyCodeUtilities() {
    if (!keyUtilities_) {
        KLTKeyCodeUtilities::Dependencies d;
        d.target = deps_.keys ? deps_.keys : xTarget_.get();
        d.pasteboard = deps_.pasteboard ? deps_.pasteboard : std::shared_ptr<Pasteboard>(X11Pasteboard::open());
        d.tapInventory = deps_.tapInventory ? deps_.tapInventory : [] {
            return KLTEventTapManager::sharedManager().processInfoForEnabledKeyboardEventTaps();
        };
        if (MainLoop* loop = deps_.mainLoop)
            d.scheduler = [loop](std::chrono::milliseconds delay, std::function<void()> task) {
                loop->after(delay, std::move(task));
            };
        keyUtilities_ = std::make_unique<KLTKeyCodeUtilities>(std::move(d));
    }
    refreshKeyboard();
    return *keyUtilities_;
}

void ScreenInputDispatcher::refreshKeyboard() {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return;
    bool reload;
    if (c != watchedConnection_ || std::this_thread::get_id() != watchedThread_ || !keymapWatch_) {
        keymapWatch_ = std::make_unique<X11KeymapWatch>(*c);
        watchedConnection_ = c;
        watchedThread_ = std::this_thread::get_id();
        reload = true;
    } else {
        reload = keymapWatch_->takeChange();
    }
    if (!reload) return;
    if (auto layout = x11ReadKeyboardLayout(*c))
        keyUtilities_->setLayout(std::move(*layout));
    else
        KLLog(kKLTLoggingLevelError, "The keyboard layout cannot be read");
}

}  // namespace kl
