// Menus through AT-SPI. libatspi is not thread-safe: every call into it runs on one serial queue,
// and callers wait for the answer. Elements go out as handles of a table, never as addresses.
#pragma once

#include <memory>

#include "platform/Executors.h"
#include "screen/apps/accessibility/AccessibilityEngine.h"
#include "screen/apps/accessibility/AccessibleHandleTable.h"

namespace kl {

class AtspiAccessibilityEngine final : public AccessibilityEngine {
public:
    // Null when libatspi cannot start; the caller has probed the bus first (libatspi would end
    // the process on a missing bus).
    static std::shared_ptr<AtspiAccessibilityEngine> start();

    bool isEnabled() override { return true; }
    std::optional<uint64_t> menuBarOfApplication(uint64_t pid) override;
    std::optional<std::vector<uint64_t>> children(uint64_t element) override;
    std::optional<AccessibleMenuElement> describe(uint64_t element) override;
    bool press(uint64_t element) override;

    AtspiAccessibilityEngine();

private:
    template <class F>
    auto onQueue(F&& work) -> decltype(work());

    SerialQueue queue_{"AT-SPI"};
    AccessibleHandleTable handles_;  // queue_
};

}  // namespace kl
