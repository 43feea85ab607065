// The menu half of the application monitor: top menus read from the accessibility interface one
// level at a time, and the lookups of the viewer's menu requests.
#include <algorithm>

#include "foundation/KLTLogging.h"
#include "screen/apps/KLTApplicationMonitor.h"

namespace kl {

namespace {

// Its menus are the guest system's, which the accessibility interface cannot reach.
bool hasNoMenus(const KLTApplicationState& state) { return state.name == "vmware-vmx"; }

}  // namespace

std::shared_ptr<KLTApplicationMenu> KLTApplicationMonitor::readTopMenu(const KLTApplicationState& state) {
    auto bar = accessibility_->menuBarOfApplication(state.applicationID);
    if (!bar) return nullptr;
    auto root = std::make_shared<KLTApplicationMenu>();
    root->elementHandle = *bar;
    root->applicationID = state.applicationID;
    root->appTopMenu = true;
    walkMenu(*bar, root, 0, 0);
    return root;
}

void KLTApplicationMonitor::manageMenuState() {
    if (!accessibility_->isEnabled()) return;
    std::vector<KLTApplicationState> candidates;
    {
        std::lock_guard guard(lock_);
        for (const auto& state : applicationStates_) {
            const bool discovered = std::find(discoveredApplications_.begin(), discoveredApplications_.end(),
                                              state.applicationID) != discoveredApplications_.end();
            if (!discovered || hasNoMenus(state)) continue;
            if (applicationHasWindows(state.applicationID) || state.applicationID == activePID_) candidates.push_back(state);
        }
    }
    // Read outside the lock: an application that answers slowly must not hold up the update.
    for (const auto& state : candidates)
        if (auto menu = readTopMenu(state)) setTopMenu(std::move(menu), state.applicationID);
}

void KLTApplicationMonitor::refreshApplicationTopMenuForApplication(uint64_t pid) {
    std::unique_lock pollGuard(pollLock_, std::try_to_lock);
    if (!pollGuard.owns_lock()) return;
    auto state = applicationStateForPID(pid);
    if (!state || hasNoMenus(*state) || !accessibility_->isEnabled()) return;
    if (auto menu = readTopMenu(*state)) setTopMenu(std::move(menu), pid);
}

void KLTApplicationMonitor::walkMenu(uint64_t element, const std::shared_ptr<KLTApplicationMenu>& parent,
                                     uint64_t level, uint64_t maxLevel) {
    // A failed read ends the walk of this element silently.
    if (auto children = accessibility_->children(element)) appendMenuItems(*children, parent, level, maxLevel);
}

void KLTApplicationMonitor::appendMenuItems(const std::vector<uint64_t>& children,
                                            const std::shared_ptr<KLTApplicationMenu>& parent, uint64_t level,
                                            uint64_t maxLevel) {
    for (uint64_t child : children) {
        auto node = KLTApplicationMenu::initWithAX(*accessibility_, child);
        node->applicationID = parent->applicationID;
        node->parentMenu = parent;
        node->ordinal = level;
        if (level != 0) node->position.x = 0;  // items below the bar report only their row
        {
            std::lock_guard guard(lock_);  // the server's menu requests read the same trees
            parent->submenus.push_back(node);
        }
        if (node->hasSubMenus && level < maxLevel) walkMenu(child, node, level + 1, maxLevel);
    }
}

void KLTApplicationMonitor::continueMenu(uint64_t element, const std::shared_ptr<KLTApplicationMenu>& parent,
                                         uint64_t level, uint64_t maxLevel) {
    if (!parent) return;
    auto children = accessibility_->children(element);
    if (!children) {
        KLLog(kKLTLoggingLevelInfo, "Menu returned error of %d", -1);
        return;
    }
    appendMenuItems(*children, parent, level, maxLevel);
}

std::shared_ptr<KLTApplicationMenu> KLTApplicationMonitor::menuForElementID(uint64_t elementID, uint64_t pid) const {
    std::lock_guard guard(lock_);
    for (const auto& state : applicationStates_)
        if (state.applicationID == pid) return findMenuForElementID(elementID, state.topMenu);
    return nullptr;
}

}  // namespace kl
