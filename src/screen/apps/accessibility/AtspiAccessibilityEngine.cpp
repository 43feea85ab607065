#include "screen/apps/accessibility/AtspiAccessibilityEngine.h"

#include <atspi/atspi.h>

#include <deque>
#include <mutex>

#include "foundation/KLTLogging.h"
#include "screen/apps/accessibility/AccessibilityBusProbe.h"

namespace kl {

namespace {

// An application that does not answer holds the walk this long at most.
constexpr int kCallTimeoutMilliseconds = 2000;
constexpr int kStartupTimeoutMilliseconds = 5000;
// How far below an application's root a menu bar is looked for.
constexpr int kMenuBarSearchDepth = 6;
constexpr int kMenuBarSearchNodes = 2000;

struct GErrorSlot {
    GError* error = nullptr;
    ~GErrorSlot() {
        if (error) g_error_free(error);
    }
    bool failed() const { return error != nullptr; }
};

std::string identityOf(AtspiAccessible* a) {
    auto* object = ATSPI_OBJECT(a);
    const char* bus = object->app && object->app->bus_name ? object->app->bus_name : "";
    return std::string(bus) + "|" + (object->path ? object->path : "");
}

std::shared_ptr<void> holding(AtspiAccessible* a) {
    return std::shared_ptr<void>(a, [](void* p) { g_object_unref(p); });
}

// Messages libatspi's connection received meanwhile (its signals) are taken off the queue so
// they do not pile up; this queue is the only one calling into libatspi.
void drainPendingEvents() {
    for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

// The first character of a key binding such as "<Control>q" or "Ctrl+Q" as one UTF-16 unit.
uint32_t commandCharacter(const char* binding) {
    if (!binding || !*binding) return 0;
    std::string text(binding);
    if (auto semicolon = text.find(';'); semicolon != std::string::npos) text.resize(semicolon);
    size_t start = 0;
    if (auto gt = text.rfind('>'); gt != std::string::npos) start = gt + 1;
    if (auto plus = text.rfind('+'); plus != std::string::npos && plus + 1 < text.size()) start = std::max(start, plus + 1);
    if (start >= text.size()) return 0;
    gunichar c = g_utf8_get_char_validated(text.c_str() + start, -1);
    if (c == gunichar(-1) || c == gunichar(-2) || c > 0xFFFF) return 0;
    return g_unichar_toupper(c);
}

bool isMenuContainer(AtspiRole role) { return role == ATSPI_ROLE_MENU || role == ATSPI_ROLE_POPUP_MENU; }

// The element's children with new references; none when they cannot be read. A menu title whose
// one child is the menu it opens (a toolkit's popup object) stands for that menu: its items are
// its children, so a menu is read in one step from its title.
std::optional<std::vector<AtspiAccessible*>> menuChildren(AtspiAccessible* node, int depth = 0) {
    GErrorSlot e;
    const int n = atspi_accessible_get_child_count(node, &e.error);
    if (e.failed() || n < 0) return std::nullopt;
    std::vector<AtspiAccessible*> children;
    for (int i = 0; i < n; ++i) {
        GErrorSlot ce;
        AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, &ce.error);
        if (!child) {
            for (auto* c : children) g_object_unref(c);
            return std::nullopt;
        }
        children.push_back(child);
    }
    if (children.size() == 1 && depth < kMenuBarSearchDepth) {
        GErrorSlot roleError, childRoleError;
        const AtspiRole role = atspi_accessible_get_role(node, &roleError.error);
        const AtspiRole childRole = atspi_accessible_get_role(children[0], &childRoleError.error);
        if ((role == ATSPI_ROLE_MENU_ITEM || isMenuContainer(role)) && isMenuContainer(childRole)) {
            AtspiAccessible* popup = children[0];
            auto inner = menuChildren(popup, depth + 1);
            g_object_unref(popup);
            return inner;
        }
    }
    return children;
}

}  // namespace

std::shared_ptr<AccessibilityEngine> makeSessionAccessibilityEngine() {
    if (!probeAccessibilityBus()) {
        KLLog(kKLTLoggingLevelInfo, "accessibility disabled: no accessibility bus answers");
        return std::make_shared<DisabledAccessibilityEngine>();
    }
    if (auto engine = AtspiAccessibilityEngine::start()) return engine;
    KLLog(kKLTLoggingLevelInfo, "accessibility disabled: AT-SPI did not start");
    return std::make_shared<DisabledAccessibilityEngine>();
}

std::shared_ptr<AtspiAccessibilityEngine> AtspiAccessibilityEngine::start() {
    auto engine = std::make_shared<AtspiAccessibilityEngine>();
    const bool started = engine->onQueue([] {
        static std::once_flag once;
        static int result = -1;
        std::call_once(once, [] {
            result = atspi_init();
            atspi_set_timeout(kCallTimeoutMilliseconds, kStartupTimeoutMilliseconds);
        });
        return result == 0 || result == 1;
    });
    return started ? engine : nullptr;
}

AtspiAccessibilityEngine::AtspiAccessibilityEngine() = default;

template <class F>
auto AtspiAccessibilityEngine::onQueue(F&& work) -> decltype(work()) {
    std::optional<decltype(work())> result;
    queue_.sync([&] {
        drainPendingEvents();
        result = work();
    });
    return std::move(*result);
}

std::optional<uint64_t> AtspiAccessibilityEngine::menuBarOfApplication(uint64_t pid) {
    return onQueue([&]() -> std::optional<uint64_t> {
        AtspiAccessible* desktop = atspi_get_desktop(0);
        if (!desktop) return std::nullopt;
        GErrorSlot countError;
        const int applications = atspi_accessible_get_child_count(desktop, &countError.error);
        AtspiAccessible* application = nullptr;
        for (int i = 0; i < applications && !application; ++i) {
            GErrorSlot e;
            AtspiAccessible* candidate = atspi_accessible_get_child_at_index(desktop, i, &e.error);
            if (!candidate) continue;
            GErrorSlot pidError;
            if (uint64_t(atspi_accessible_get_process_id(candidate, &pidError.error)) == pid && !pidError.failed())
                application = candidate;
            else
                g_object_unref(candidate);
        }
        g_object_unref(desktop);
        if (!application) return std::nullopt;
        // The menus change while the application runs: read them fresh every time.
        atspi_accessible_set_cache_mask(application, ATSPI_CACHE_NONE);

        std::deque<std::pair<AtspiAccessible*, int>> pending{{application, 0}};
        std::optional<uint64_t> found;
        int visited = 0;
        while (!pending.empty()) {
            auto [node, depth] = pending.front();
            pending.pop_front();
            GErrorSlot roleError;
            if (!found && ++visited <= kMenuBarSearchNodes &&
                atspi_accessible_get_role(node, &roleError.error) == ATSPI_ROLE_MENU_BAR) {
                found = handles_.handleFor(identityOf(node), holding(node));
                continue;  // the table holds it now
            }
            if (!found && depth < kMenuBarSearchDepth && visited <= kMenuBarSearchNodes) {
                GErrorSlot e;
                const int n = atspi_accessible_get_child_count(node, &e.error);
                for (int i = 0; i < n; ++i) {
                    GErrorSlot ce;
                    if (AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, &ce.error))
                        pending.push_back({child, depth + 1});
                }
            }
            g_object_unref(node);
        }
        return found;
    });
}

std::optional<std::vector<uint64_t>> AtspiAccessibilityEngine::children(uint64_t element) {
    return onQueue([&]() -> std::optional<std::vector<uint64_t>> {
        auto* node = static_cast<AtspiAccessible*>(handles_.element(element));
        if (!node) return std::nullopt;
        auto children = menuChildren(node);
        if (!children) return std::nullopt;
        std::vector<uint64_t> handles;
        for (AtspiAccessible* child : *children) handles.push_back(handles_.handleFor(identityOf(child), holding(child)));
        return handles;
    });
}

std::optional<AccessibleMenuElement> AtspiAccessibilityEngine::describe(uint64_t element) {
    return onQueue([&]() -> std::optional<AccessibleMenuElement> {
        auto* node = static_cast<AtspiAccessible*>(handles_.element(element));
        if (!node) return std::nullopt;
        AccessibleMenuElement out;
        GErrorSlot nameError;
        if (gchar* name = atspi_accessible_get_name(node, &nameError.error)) {
            out.title = name;
            g_free(name);
        }
        if (AtspiStateSet* states = atspi_accessible_get_state_set(node)) {
            out.enabled = atspi_state_set_contains(states, ATSPI_STATE_ENABLED) ||
                          atspi_state_set_contains(states, ATSPI_STATE_SENSITIVE);
            if (atspi_state_set_contains(states, ATSPI_STATE_CHECKED)) out.markChar = "\u2713";
            g_object_unref(states);
        }
        if (AtspiComponent* component = atspi_accessible_get_component_iface(node)) {
            GErrorSlot e;
            if (AtspiRect* r = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &e.error)) {
                out.position = {double(r->x), double(r->y)};
                out.size = {double(r->width), double(r->height)};
                g_free(r);
            }
            g_object_unref(component);
        }
        if (AtspiAction* action = atspi_accessible_get_action_iface(node)) {
            GErrorSlot e;
            gchar* binding = atspi_action_get_key_binding(action, 0, &e.error);
            out.cmdChar = commandCharacter(binding);
            g_free(binding);
            g_object_unref(action);
        }
        if (auto children = menuChildren(node)) {
            out.childCount = children->size();
            for (auto* child : *children) g_object_unref(child);
        }
        return out;
    });
}

bool AtspiAccessibilityEngine::press(uint64_t element) {
    return onQueue([&]() -> bool {
        auto* node = static_cast<AtspiAccessible*>(handles_.element(element));
        if (!node) return false;
        AtspiAction* action = atspi_accessible_get_action_iface(node);
        if (!action) return false;
        GErrorSlot countError;
        const int n = atspi_action_get_n_actions(action, &countError.error);
        int chosen = n > 0 ? 0 : -1;
        for (int i = 0; i < n; ++i) {
            GErrorSlot e;
            gchar* name = atspi_action_get_action_name(action, i, &e.error);
            const bool isPress = name && (g_ascii_strcasecmp(name, "press") == 0 || g_ascii_strcasecmp(name, "click") == 0);
            g_free(name);
            if (isPress) {
                chosen = i;
                break;
            }
        }
        bool done = false;
        if (chosen >= 0) {
            GErrorSlot e;
            done = atspi_action_do_action(action, chosen, &e.error);
        }
        g_object_unref(action);
        return done;
    });
}

}  // namespace kl
