#include "screen/KLTScreen.h"

#include <algorithm>
#include <mutex>

#include "foundation/KLTLogging.h"
#include "platform/x11/X11Monitors.h"
#include "screen/DisplayModes.h"
#include "screen/DisplayServer.h"

namespace kl {

namespace {

struct ScreenList {
    std::recursive_mutex lock;
    std::vector<std::shared_ptr<KLTScreen>> screens;
    uint32_t seed = 0;
};
ScreenList& screenList() {
    static auto* list = new ScreenList;  // process-wide, never destroyed
    return *list;
}

bool atOrigin(uint32_t displayID) {
    Rect bounds;
    GetCGSScreenBounds(displayID, &bounds);
    return bounds.origin.x == 0 && bounds.origin.y == 0;
}

std::vector<uint32_t> activeDisplayIDs() {
    std::vector<uint32_t> ids;
    for (const auto& d : DisplayServer::currentDisplays()) ids.push_back(d.displayID);
    return ids;
}

std::optional<X11DisplayInfo> edidOf(uint32_t displayID) {
    auto d = DisplayServer::display(displayID);
    X11Connection* c = X11Connection::forThisThread();
    if (!d || !c) return std::nullopt;
    return x11DisplayInfo(*c, d->monitor);
}

}  // namespace

int GetCGSScreenBounds(uint32_t displayID, Rect* bounds) {
    auto d = DisplayServer::display(displayID);
    if (!d) {
        *bounds = Rect();
        return kCGErrorIllegalArgument;
    }
    *bounds = d->bounds;
    return kCGErrorSuccess;
}

Rect KLTScreen::frame() {
    Rect bounds;
    if (GetCGSScreenBounds(displayID(), &bounds) != kCGErrorSuccess) return Rect();
    if (bounds.origin.x == 0 && bounds.origin.y == 0) return bounds;
    bounds.origin.y = zeroScreenHeight() - (bounds.origin.y + bounds.size.height);
    return bounds;
}

Size KLTScreen::displaySizeInPixels() {
    Rect bounds;
    GetCGSScreenBounds(displayID(), &bounds);
    return bounds.size;
}

std::vector<Rect> KLTScreen::arrayOfScreenBounds() {
    return {Rect(Point{0, 0}, scaleCorrectedDisplayBounds().size)};
}

int64_t KLTScreen::framebufferIndex() {
    if (mDriverIndex == -1) mDriverIndex = framebufferIndexForDisplayID(displayID());
    return mDriverIndex;
}

std::string KLTScreen::userDescription() {
    return copyDisplayNameForDisplayID(displayID()).value_or("Unknown Display");
}

void KLTScreen::setDisplayMode(int mode) {
    Size wanted = mode >= 0 && mode <= 66 ? sizeOfMode(mode) : Size{1024, 768};
    auto modes = modesForDisplayID(displayID(), true, true);
    if (!modes) return;
    for (const auto& m : *modes) {
        if (m.uintOr("Width", 0) == wanted.width && m.uintOr("Height", 0) == wanted.height) {
            switchDisplayIDToMode(displayID(), m);
            return;
        }
    }
}

Rect KLTScreen::scaleCorrectedDisplayBounds() { return scaleCorrectedDisplayBoundsForDisplayID(displayID()); }

double KLTScreen::scale() { return scaleForDisplayID(displayID()); }

std::vector<std::shared_ptr<KLTScreen>> KLTScreen::screens() {
    uint32_t seed = DisplayServer::displayMappingSeed();
    auto& list = screenList();
    std::lock_guard lock(list.lock);
    if (list.screens.empty()) {
        list.seed = seed;
        for (uint32_t id : activeDisplayIDs()) {
            auto screen = std::make_shared<KLTScreen>(id);
            if (atOrigin(id))
                list.screens.insert(list.screens.begin(), screen);
            else
                list.screens.push_back(screen);
        }
    } else if (list.seed != seed) {
        resetScreens();
    }
    return list.screens;
}

void KLTScreen::resetScreens() {
    auto& list = screenList();
    std::lock_guard lock(list.lock);
    std::vector<uint32_t> ids = activeDisplayIDs();
    if (ids.empty()) {
        list.screens.clear();
        list.seed = DisplayServer::displayMappingSeed();
        return;
    }
    constexpr uint32_t kUsed = 0xFFFFFFFF;
    std::shared_ptr<KLTScreen> primary;
    for (size_t i = list.screens.size(); i-- > 0;) {
        auto& screen = list.screens[i];
        auto found = std::find(ids.begin(), ids.end(), screen->displayID());
        if (found == ids.end()) {
            list.screens.erase(list.screens.begin() + i);
            continue;
        }
        if (!primary && atOrigin(screen->displayID())) primary = screen;
        *found = kUsed;
    }
    for (uint32_t id : ids) {
        if (id == kUsed) continue;
        auto screen = std::make_shared<KLTScreen>(id);
        if (!primary && atOrigin(id)) primary = screen;
        list.screens.push_back(screen);
    }
    if (primary) {
        auto at = std::find(list.screens.begin(), list.screens.end(), primary);
        std::rotate(list.screens.begin(), at, at + 1);
    }
    list.seed = DisplayServer::displayMappingSeed();
}

std::string KLTScreen::userDescriptionForDisplayID(uint32_t displayID) {
    auto info = edidOf(displayID);
    if (!info || info->productName.empty()) return "Unknown Display";
    return info->productName;
}

uint32_t KLTScreen::framebufferIndexForDisplayID(uint32_t displayID) {
    // Only this system's own virtual displays carry a framebuffer index, in their serial number.
    auto info = edidOf(displayID);
    if (info && info->hasEdid && (info->serial >> 16) == 0x9973) return info->serial & 0xFFFF;
    return kUnknownFramebufferIndex;
}

std::optional<std::string> KLTScreen::copyDisplayNameForDisplayID(uint32_t displayID) {
    auto info = edidOf(displayID);
    if (!info || info->productName.empty()) return std::nullopt;
    return info->productName;
}

double KLTScreen::zeroScreenHeight() {
    auto& list = screenList();
    {
        std::lock_guard lock(list.lock);
        if (list.screens.empty()) return 0.0;
    }
    // The main display stands for display 0.
    for (const auto& d : DisplayServer::displays())
        if (d.primary) return d.bounds.size.height;
    return 0.0;
}

Rect KLTScreen::scaleCorrectedDisplayBoundsForDisplayID(uint32_t displayID) {
    if (displayID == 0) return Rect();
    Rect bounds;
    GetCGSScreenBounds(displayID, &bounds);
    double s = scaleForDisplayID(displayID);
    return Rect(bounds.origin, Size{bounds.size.width * s, bounds.size.height * s});
}

double KLTScreen::scaleForDisplayID(uint32_t) { return 1.0; }

std::optional<Value> KLTScreen::deviceDescriptionForDisplayID(uint32_t displayID) {
    auto d = DisplayServer::display(displayID);
    if (!d) return std::nullopt;
    Dictionary description;
    description.set("NSScreenNumber", Value(uint64_t(displayID)));
    description.set("NSDeviceSize", Value(Array{Value(d->bounds.size.width), Value(d->bounds.size.height)}));
    return Value(std::move(description));
}

std::optional<std::vector<Value>> KLTScreen::modesForDisplayID(uint32_t displayID, bool filterActiveModes,
                                                             bool sortModes) {
    auto d = DisplayServer::display(displayID);
    X11Connection* c = X11Connection::forThisThread();
    if (!d || !c) return std::nullopt;
    auto serverModes = x11ModesForMonitor(*c, d->monitor);
    if (serverModes.empty()) return std::nullopt;
    std::vector<Value> modes, hiDPI;
    for (uint32_t i = 0; i < serverModes.size(); ++i) {
        Value mode = newModeFromModeDescription(serverModes[i], i);
        bool usable = mode.get("kCGDisplayModeIsSafeForHardware") && mode.get("UsableForDesktopGUI")->asBool() == true;
        if (!filterActiveModes || !usable) continue;
        modes.push_back(mode);
        if (mode.get("kCGDisplayResolution")->asDouble().value_or(1.0) > 1.0) hiDPI.push_back(mode);
    }
    for (const auto& h : hiDPI) {
        auto same = std::find_if(modes.begin(), modes.end(), [&](const Value& m) {
            const Value* r = m.get("kCGDisplayResolution");
            return (r ? r->asDouble().value_or(1.0) : 1.0) <= 1.0 && m.uintOr("Width", 0) == h.uintOr("Width", 0) &&
                   m.uintOr("Height", 0) == h.uintOr("Height", 0);
        });
        if (same != modes.end()) modes.erase(same);
    }
    if (sortModes)
        std::stable_sort(modes.begin(), modes.end(), [](const Value& a, const Value& b) { return CompareModes(a, b) < 0; });
    return modes;
}

std::optional<Value> KLTScreen::findBestHiDPIModeForDisplayID(uint32_t displayID) {
    auto modes = modesForDisplayID(displayID, true, true);
    if (!modes) return std::nullopt;
    for (const auto& m : *modes)
        if (m.get("kCGDisplayResolution")->asDouble().value_or(1.0) > 1.0) return m;
    return std::nullopt;
}

std::optional<Value> KLTScreen::findBestModeForDisplayID(uint32_t displayID) {
    auto modes = modesForDisplayID(displayID, true, true);
    if (!modes || modes->empty()) return std::nullopt;
    return modes->front();
}

bool KLTScreen::hiDPIForDevice(uint32_t displayID) {
    auto d = DisplayServer::display(displayID);
    if (!d) {
        KLLog(kKLTLoggingLevelError, "You asked about HiDPI for an inactive display. Bad doggie, no biscuit");
        return false;
    }
    return false;  // X monitors are driven at one pixel per point
}

bool KLTScreen::switchDisplayIDToMode(uint32_t displayID, const Value& mode) {
    auto d = DisplayServer::display(displayID);
    X11Connection* c = X11Connection::forThisThread();
    if (!d || !c || !mode.isDictionary()) return false;
    return x11SwitchMode(*c, d->monitor, mode.uintOr("IODisplayModeID", 0));
}

}  // namespace kl
