#include "screen/apps/KLTApplicationMenu.h"

namespace kl {

namespace {
constexpr const char* kCheckMark = "\u2713";
}

std::shared_ptr<KLTApplicationMenu> KLTApplicationMenu::initWithAX(AccessibilityEngine& engine, uint64_t element) {
    auto node = std::make_shared<KLTApplicationMenu>();
    node->elementHandle = element;
    if (auto described = engine.describe(element)) {
        node->title = described->title;
        node->enabled = described->enabled;
        node->size = described->size;
        node->position = described->position;
        node->hasSubMenus = described->childCount != 0;
        node->cmdChar = described->cmdChar;
        node->checked = described->markChar == kCheckMark;
    }
    return node;
}

std::shared_ptr<KLTApplicationMenu> KLTApplicationMenu::copy() const {
    auto node = std::make_shared<KLTApplicationMenu>(*this);
    node->selected = false;
    return node;
}

std::shared_ptr<KLTApplicationMenu> findMenuForElementID(uint64_t elementID,
                                                         const std::shared_ptr<KLTApplicationMenu>& menu) {
    if (!menu) return nullptr;
    if (menu->elementHandle == elementID) return menu;
    for (const auto& child : menu->submenus)
        if (auto found = findMenuForElementID(elementID, child)) return found;
    return nullptr;
}

}  // namespace kl
