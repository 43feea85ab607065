#include "daemon/PWConstants.h"

#include <mutex>

#include "platform/Preferences.h"

namespace kl {

namespace {

struct Urls {
    std::string base, forgot, details, help, rendezvous = kPWDefaultRendezvousServer;
};

std::mutex gLock;
Urls& urls() {
    static auto* value = new Urls;
    return *value;
}

std::string build(const std::string& host, uint16_t port, const char* tail) {
    return "https://" + host + ":" + std::to_string(port) + tail;
}

void initializeLocked(const std::string& host, uint16_t port) {
    Urls& u = urls();
    u.base = build(host, port, "/api/v1/");
    u.forgot = build(host, port, "/reset");
    u.details = build(host, port, "/login");
    u.help = build(host, port, "/help/mac");
}

void ensureInitialized() {
    static std::once_flag once;
    std::call_once(once, [] {
        Preferences preferences(kPWDaemonPreferencesDomain);
        std::string host = kPWDefaultAccountServerHost;
        if (auto v = preferences.value("AccountServerHost"); v && v->asString() && !v->asString()->empty())
            host = *v->asString();
        uint16_t port = 443;
        if (auto p = preferences.integer("AccountServerPort"); p && *p > 0 && *p < 65536) port = uint16_t(*p);
        std::lock_guard lock(gLock);
        if (urls().base.empty()) initializeLocked(host, port);
        if (auto r = preferences.value("FallbackRendezvousServer"); r && r->asString() && !r->asString()->empty())
            urls().rendezvous = *r->asString();
    });
}

}  // namespace

void PWConstants::forceInitialization() { ensureInitialized(); }

void PWConstants::initializeConstantsWithServerHost(const std::string& host, uint16_t port) {
    std::lock_guard lock(gLock);
    initializeLocked(host, port);
}

std::string PWConstants::registrarBaseURL() {
    ensureInitialized();
    std::lock_guard lock(gLock);
    return urls().base;
}
std::string PWConstants::forgotPasswordURL() {
    ensureInitialized();
    std::lock_guard lock(gLock);
    return urls().forgot;
}
std::string PWConstants::accountDetailsURL() {
    ensureInitialized();
    std::lock_guard lock(gLock);
    return urls().details;
}
std::string PWConstants::accountDetailsHelpURL() {
    ensureInitialized();
    std::lock_guard lock(gLock);
    return urls().help;
}
std::string PWConstants::fallbackRendezvousServer() {
    ensureInitialized();
    std::lock_guard lock(gLock);
    return urls().rendezvous;
}

}  // namespace kl
