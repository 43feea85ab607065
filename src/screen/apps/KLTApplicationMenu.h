// One node of an application's menu tree: the root stands for the menu bar, its children are the
// bar's titles, and lower levels are read one menu at a time when the viewer asks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "screen/KLGeometry.h"
#include "screen/apps/accessibility/AccessibilityEngine.h"

namespace kl {

struct KLTApplicationMenu {
    uint64_t elementHandle = 0;  // the engine's handle; the identifier the viewer sends back
    uint64_t parentHandle = 0;   // never filled
    uint64_t applicationID = 0;
    std::string title;
    bool enabled = false;
    bool appTopMenu = false;
    bool selected = false;
    bool hasSubMenus = false;
    bool checked = false;
    Point position;
    Size size;
    uint64_t ordinal = 0;  // the depth at which the node was read
    uint32_t cmdChar = 0;
    std::vector<std::shared_ptr<KLTApplicationMenu>> submenus;
    std::weak_ptr<KLTApplicationMenu> parentMenu;

    // A node read from an element; a failed read leaves the attributes empty.
    static std::shared_ptr<KLTApplicationMenu> initWithAX(AccessibilityEngine& engine, uint64_t element);
    // Copies every field but selected; the child nodes are shared.
    std::shared_ptr<KLTApplicationMenu> copy() const;
    bool executeMenuOption(AccessibilityEngine& engine) const { return engine.press(elementHandle); }

    friend bool operator==(const KLTApplicationMenu& a, const KLTApplicationMenu& b) {
        return a.elementHandle == b.elementHandle;
    }
};

// Depth first, pre-order: the node with that handle at or below menu, or null.
std::shared_ptr<KLTApplicationMenu> findMenuForElementID(uint64_t elementID,
                                                         const std::shared_ptr<KLTApplicationMenu>& menu);

}  // namespace kl
