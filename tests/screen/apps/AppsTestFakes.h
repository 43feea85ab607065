// A desktop and an accessibility tree of the test's own, so the monitor's rules can be driven
// without an X server or applications.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>

#include "screen/apps/ApplicationPlatform.h"
#include "screen/apps/accessibility/AccessibilityEngine.h"

namespace kl::test {

inline BitmapImage solidImage(int w, int h, uint8_t value) {
    return BitmapImage{w, h, std::vector<uint8_t>(size_t(w) * h * 4, value), PixelFormat::BGRA};
}

class FakeDesktop : public ApplicationPlatform {
public:
    std::vector<RunningApplication> runningApplications() override {
        std::lock_guard g(m);
        return applications;
    }
    std::vector<BitmapImage> applicationIconRepresentations(uint64_t pid) override {
        std::lock_guard g(m);
        auto it = icons.find(pid);
        return it == icons.end() ? std::vector<BitmapImage>{} : it->second;
    }
    std::vector<WindowListEntry> onScreenWindows() override {
        std::unique_lock g(m);
        ++windowListReads;
        if (holdWindowList) {
            waiting = true;
            changed.notify_all();
            changed.wait(g, [&] { return !holdWindowList; });
            waiting = false;
        }
        return windows;
    }
    std::optional<BitmapImage> captureWindow(uint64_t windowNumber) override {
        std::lock_guard g(m);
        auto it = captures.find(windowNumber);
        if (it == captures.end()) return std::nullopt;
        return it->second;
    }
    void release() {
        std::lock_guard g(m);
        holdWindowList = false;
        changed.notify_all();
    }
    void waitUntilHeld() {
        std::unique_lock g(m);
        changed.wait(g, [&] { return waiting; });
    }

    std::mutex m;
    std::condition_variable changed;
    bool holdWindowList = false, waiting = false;
    int windowListReads = 0;
    std::vector<RunningApplication> applications;
    std::map<uint64_t, std::vector<BitmapImage>> icons;
    std::vector<WindowListEntry> windows;
    std::map<uint64_t, BitmapImage> captures;
};

inline WindowListEntry visibleWindow(uint64_t id, uint64_t pid, Rect bounds = {10, 20, 300, 200}) {
    WindowListEntry e;
    e.windowNumber = id;
    e.ownerPID = pid;
    e.name = "window " + std::to_string(id);
    e.bounds = bounds;
    e.alpha = 1.0;
    e.onScreen = true;
    return e;
}

// Elements by handle; an application's menu bar by pid.
class FakeAccessibility : public AccessibilityEngine {
public:
    struct Element {
        AccessibleMenuElement attributes;
        std::vector<uint64_t> children;
    };
    bool isEnabled() override { return enabled; }
    std::optional<uint64_t> menuBarOfApplication(uint64_t pid) override {
        auto it = menuBars.find(pid);
        if (it == menuBars.end()) return std::nullopt;
        return it->second;
    }
    std::optional<std::vector<uint64_t>> children(uint64_t element) override {
        ++childReads;
        auto it = elements.find(element);
        if (it == elements.end()) return std::nullopt;
        return it->second.children;
    }
    std::optional<AccessibleMenuElement> describe(uint64_t element) override {
        auto it = elements.find(element);
        if (it == elements.end()) return std::nullopt;
        auto a = it->second.attributes;
        a.childCount = it->second.children.size();
        return a;
    }
    bool press(uint64_t element) override {
        pressed.push_back(element);
        return elements.contains(element);
    }
    // An element with a title at (x, y), under parent (0: none).
    void add(uint64_t handle, uint64_t parent, std::string title, double x = 0, double y = 0) {
        elements[handle].attributes.title = std::move(title);
        elements[handle].attributes.enabled = true;
        elements[handle].attributes.position = {x, y};
        elements[handle].attributes.size = {80, 20};
        if (parent) elements[parent].children.push_back(handle);
    }

    bool enabled = true;
    int childReads = 0;
    std::map<uint64_t, uint64_t> menuBars;
    std::map<uint64_t, Element> elements;
    std::vector<uint64_t> pressed;
};

}  // namespace kl::test
