#include "screen/DisplayServer.h"

#include <atomic>
#include <mutex>

namespace kl::DisplayServer {

namespace {

std::vector<DisplayInfo> displaysOf(const std::vector<X11Monitor>& monitors) {
    std::vector<DisplayInfo> result;
    const X11Monitor* primary = x11PrimaryMonitor(monitors);
    for (const auto& m : monitors) {
        DisplayInfo info;
        info.displayID = m.name;
        info.bounds = Rect(m.bounds.x - primary->bounds.x, m.bounds.y - primary->bounds.y, m.bounds.width,
                           m.bounds.height);
        info.primary = &m == primary;
        info.monitor = m;
        result.push_back(info);
    }
    return result;
}

std::atomic<uint32_t> seed{1};
std::mutex seenMutex;
std::vector<X11Monitor> seenMonitors;

std::mutex cacheMutex;
bool cacheValid = false;
std::vector<DisplayInfo> cache;

void storeCache(const std::vector<DisplayInfo>& list) {
    std::lock_guard lock(cacheMutex);
    cache = list;
    cacheValid = true;
}

}  // namespace

std::vector<DisplayInfo> currentDisplays() {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return {};
    auto list = displaysOf(x11Monitors(*c));
    storeCache(list);
    return list;
}

std::vector<DisplayInfo> displays() {
    {
        std::lock_guard lock(cacheMutex);
        if (cacheValid) return cache;
    }
    return currentDisplays();
}

std::optional<DisplayInfo> display(uint32_t displayID) {
    for (auto& d : displays())
        if (d.displayID == displayID) return d;
    return std::nullopt;
}

Point primaryRootOrigin() {
    for (const auto& d : displays())
        if (d.primary) return {double(d.monitor.bounds.x), double(d.monitor.bounds.y)};
    return {};
}

Point rootToGlobal(Point root) {
    Point o = primaryRootOrigin();
    return {root.x - o.x, root.y - o.y};
}

Point globalToRoot(Point global) {
    Point o = primaryRootOrigin();
    return {global.x + o.x, global.y + o.y};
}

uint32_t displayMappingSeed() {
    X11Connection* c = X11Connection::forThisThread();
    if (c) {
        auto monitors = x11Monitors(*c);
        storeCache(displaysOf(monitors));
        std::lock_guard lock(seenMutex);
        if (monitors != seenMonitors) {
            seenMonitors = std::move(monitors);
            ++seed;
        }
    }
    return seed;
}

void noteDisplayChange() {
    ++seed;
    std::lock_guard lock(cacheMutex);
    cacheValid = false;
}

}  // namespace kl::DisplayServer
