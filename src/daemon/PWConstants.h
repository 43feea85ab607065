// PWConstants: the account server's URLs, built once from its host name (the daemon's
// "AccountServerHost" preference, port "AccountServerPort", 443 unless set).
#pragma once

#include <cstdint>
#include <string>

namespace kl {

inline constexpr const char* kPWDaemonPreferencesDomain = "com.kelvaro.portweaver.daemon";
inline constexpr const char* kPWDefaultAccountServerHost = "accounts.portweaver.net";
inline constexpr const char* kPWDefaultRendezvousServer = "rendezvous.portweaver.net";

class PWConstants {
public:
    // Reads the preferences and builds the URLs, once.
    static void forceInitialization();
    // Builds the URLs for host (tests and the control app); later calls replace earlier ones.
    static void initializeConstantsWithServerHost(const std::string& host, uint16_t port = 443);

    static std::string registrarBaseURL();       // https://host:port/api/v1/
    static std::string forgotPasswordURL();      // https://host:port/reset
    static std::string accountDetailsURL();      // https://host:port/login
    static std::string accountDetailsHelpURL();  // https://host:port/help/mac
    // The rendezvous server used when the account server names none ("FallbackRendezvousServer").
    static std::string fallbackRendezvousServer();
};

}  // namespace kl
