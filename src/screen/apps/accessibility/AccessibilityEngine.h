// The accessibility interface the menu walk reads: elements named by opaque 64-bit handles (never
// addresses; 0 is no element), their children and the attributes of a menu item.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "screen/KLGeometry.h"

namespace kl {

struct AccessibleMenuElement {
    std::string title;
    bool enabled = false;
    Point position;
    Size size;
    uint32_t cmdChar = 0;  // one UTF-16 unit, 0 when none
    std::string markChar;  // "✓" on a checked item
    size_t childCount = 0;
};

class AccessibilityEngine {
public:
    virtual ~AccessibilityEngine() = default;
    // False: "accessibility disabled", no element can be read.
    virtual bool isEnabled() = 0;
    // The menu bar of the application with that process id.
    virtual std::optional<uint64_t> menuBarOfApplication(uint64_t pid) = 0;
    // The element's children in order; none when they cannot be read.
    virtual std::optional<std::vector<uint64_t>> children(uint64_t element) = 0;
    virtual std::optional<AccessibleMenuElement> describe(uint64_t element) = 0;
    // Performs the element's press action.
    virtual bool press(uint64_t element) = 0;
};

// An engine that answers nothing: used when the session has no accessibility bus.
class DisabledAccessibilityEngine final : public AccessibilityEngine {
public:
    bool isEnabled() override { return false; }
    std::optional<uint64_t> menuBarOfApplication(uint64_t) override { return std::nullopt; }
    std::optional<std::vector<uint64_t>> children(uint64_t) override { return std::nullopt; }
    std::optional<AccessibleMenuElement> describe(uint64_t) override { return std::nullopt; }
    bool press(uint64_t) override { return false; }
};

// The AT-SPI engine when the session's accessibility bus answers, else the disabled one.
std::shared_ptr<AccessibilityEngine> makeSessionAccessibilityEngine();

}  // namespace kl
