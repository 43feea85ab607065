#include "screen/input/KLTEventTapManager.h"

#include "platform/x11/X11InputMethodServers.h"

namespace kl {

namespace {

// Key down, key up and modifier changes, as the event types number them.
constexpr uint64_t kKeyboardEventsMask = (1ull << 10) | (1ull << 11) | (1ull << 12);
constexpr uint64_t kSessionTapLocation = 1;
constexpr uint64_t kActiveTapOptions = 0;

}  // namespace

KLTEventTapManager& KLTEventTapManager::sharedManager() {
    static KLTEventTapManager* shared = new KLTEventTapManager;
    return *shared;
}

std::optional<Array> KLTEventTapManager::processInfoForEventTaps() { return inventory(true); }

std::optional<Array> KLTEventTapManager::processInfoForEnabledKeyboardEventTaps() { return inventory(false); }

std::optional<Array> KLTEventTapManager::inventory(bool withEnabledKey) {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return std::nullopt;
    auto servers = x11InputMethodServers(*c, kMaxEventTaps);
    if (servers.empty()) return std::nullopt;
    Array taps;
    for (const auto& server : servers) {
        Dictionary tap;
        tap.set(kEventTapProcessInfoEventIDKey, uint64_t(server.atom));
        tap.set(kEventTapProcessInfoTapLocationKey, kSessionTapLocation);
        tap.set(kEventTapProcessInfoTapOptionsKey, kActiveTapOptions);
        tap.set(kEventTapProcessInfoEventsOfInterestMaskKey, kKeyboardEventsMask);
        tap.set(kEventTapProcessInfoTappingProcessKey, int64_t(server.pid));
        tap.set(kEventTapProcessInfoTappedProcessKey, int64_t(0));
        if (withEnabledKey) tap.set(kEventTapProcessInfoEnabledKey, true);
        tap.set(kEventTapProcessInfoMinUsecLatencyKey, 0.0);
        tap.set(kEventTapProcessInfoAvgUsecLatencyKey, 0.0);
        tap.set(kEventTapProcessInfoMaxUsecLatencyKey, 0.0);
        if (!server.programName.empty()) {
            Dictionary info;
            info.set("CFBundleIdentifier", server.programName);
            info.set("CFBundleName", server.programName);
            info.set("pid", int64_t(server.pid));
            info.set("XIMServer", server.name);
            tap.set(kEventTapProcessInfoTappingProcessExtendedInfoKey, std::move(info));
        }
        taps.push_back(std::move(tap));
    }
    return taps;
}

}  // namespace kl
