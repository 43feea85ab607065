#include "screen/apps/ApplicationMenuDatagrams.h"

#include "screen/apps/ApplicationRecordSerialization.h"
#include "screen/protocol/OutputDatagrams.h"

namespace kl {

std::optional<Bytes> topMenuDatagram(KLTApplicationMonitor& monitor, uint64_t pid) {
    monitor.refreshApplicationTopMenuForApplication(pid);
    std::lock_guard guard(monitor.lock());
    auto state = monitor.applicationStateForPID(pid);
    if (!state || !state->topMenu) return std::nullopt;
    return writeMenuDatagram(state->topMenu->elementHandle, pid, topMenuRecords(*state->topMenu));
}

std::optional<Bytes> answerMenuRequest(KLTApplicationMonitor& monitor, uint64_t elementHandle, uint64_t applicationID) {
    auto menu = monitor.menuForElementID(elementHandle, applicationID);
    if (!menu) return std::nullopt;
    if (!menu->hasSubMenus) {
        menu->executeMenuOption(monitor.accessibility());
        return std::nullopt;
    }
    {
        std::lock_guard guard(monitor.lock());
        menu->submenus.clear();
    }
    monitor.continueMenu(menu->elementHandle, menu, menu->ordinal + 1, menu->ordinal + 1);
    std::lock_guard guard(monitor.lock());
    return writeMenuDatagram(menu->elementHandle, menu->applicationID, lowerMenuRecords(*menu));
}

}  // namespace kl
