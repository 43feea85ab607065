#include "screen/apps/accessibility/AccessibilityBusProbe.h"

#include <gio/gio.h>

#include <cstdlib>

#include "foundation/KLTLogging.h"
#include "platform/x11/X11Applications.h"

namespace kl {

namespace {

constexpr int kCallTimeoutMilliseconds = 2000;

GDBusConnection* connectTo(const std::string& address) {
    GError* error = nullptr;
    auto flags = GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                      G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, &error);
    if (error) {
        KLLog(kKLTLoggingLevelDebug, "accessibility bus %s: %s", address.c_str(), error->message);
        g_error_free(error);
    }
    return connection;
}

bool answers(const std::string& address) {
    GDBusConnection* connection = connectTo(address);
    if (!connection) return false;
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    return true;
}

// org.a11y.Bus.GetAddress on the session bus (never autolaunched: no address, no bus).
std::optional<std::string> addressFromSessionBus() {
    const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!session || !*session) return std::nullopt;
    GDBusConnection* bus = connectTo(session);
    if (!bus) return std::nullopt;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                                  nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                                                  kCallTimeoutMilliseconds, nullptr, &error);
    std::optional<std::string> address;
    if (reply) {
        const char* text = nullptr;
        g_variant_get(reply, "(&s)", &text);
        if (text && *text) address = text;
        g_variant_unref(reply);
    }
    if (error) g_error_free(error);
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    return address;
}

}  // namespace

std::optional<std::string> probeAccessibilityBus() {
    std::optional<std::string> address;
    if (const char* env = std::getenv("AT_SPI_BUS_ADDRESS"); env && *env) address = env;
    if (!address && std::getenv("DISPLAY"))
        if (auto x = X11Connection::open()) address = x11RootStringProperty(*x, "AT_SPI_BUS");
    if (!address) address = addressFromSessionBus();
    if (!address || !answers(*address)) return std::nullopt;
    return address;
}

}  // namespace kl
