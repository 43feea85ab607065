// The registrar's fixed knowledge: service types, the port counter, names, URLs, and the
// port holder's own state.
#include <gtest/gtest.h>

#include "daemon/model/KLTNetService.h"
#include "daemon/registrar/KLTListeningPortHolder.h"
#include "daemon/registrar/KLTServiceRegistrar.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemotePeer.h"

namespace kl {
namespace {

TEST(ServiceRegistrarTable, TypesPortsAndSchemes) {
    struct Case {
        std::optional<std::string> type;
        uint16_t port;
        bool proxied;
        std::optional<std::string> scheme;
    };
    const Case cases[] = {
        {"_afpovertcp._tcp", 548, true, "afp"},  {"_smb._tcp", 445, false, "smb"},
        {"_daap._tcp", 3689, true, "daap"},      {"_home-sharing._tcp", 3689, true, std::nullopt},
        {"_ssh._tcp", 22, true, "ssh"},          {"_ftp._tcp", 21, false, std::nullopt},
        {"_rfb._tcp", 5900, true, "vnc"},        {"_echo._tcp", 1337, false, std::nullopt},
        {"_http._tcp", 0, false, std::nullopt},  {std::nullopt, 0, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type.value_or("(none)"));
        EXPECT_EQ(KLTServiceRegistrar::canonicalPortForServiceType(c.type), c.port);
        EXPECT_EQ(KLTServiceRegistrar::isSupportedServiceType(c.type), c.proxied);
        if (c.type) {
            EXPECT_EQ(KLTServiceRegistrar::prefixForServiceType(*c.type), c.scheme);
        }
    }
}

TEST(ServiceRegistrarTable, PortCounterStartsAt1024AndWrapsBackToIt) {
    auto registrar = KLTServiceRegistrar::create({});
    EXPECT_EQ(registrar->nextHopefullyAvailablePortAssignment(), 1024);
    for (int i = 2; i < 64512; ++i) registrar->nextHopefullyAvailablePortAssignment();
    EXPECT_EQ(registrar->nextHopefullyAvailablePortAssignment(), 65535);  // the 64512th
    EXPECT_EQ(registrar->nextHopefullyAvailablePortAssignment(), 1024);
    EXPECT_EQ(registrar->nextHopefullyAvailablePortAssignment(), 1025);
}

TEST(ServiceRegistrarTable, ProxyNameIsTheRocketAndTheHostCutToOneLabel) {
    const std::string rocket = "\xF0\x9F\x9A\x80 ";
    EXPECT_EQ(KLTProxyServiceName("Office"), rocket + "Office");
    // 5 bytes of prefix + 58 ASCII bytes fill the label exactly.
    EXPECT_EQ(KLTProxyServiceName(std::string(58, 'a')), rocket + std::string(58, 'a'));
    EXPECT_EQ(KLTProxyServiceName(std::string(70, 'a')), rocket + std::string(58, 'a'));
    // A two-byte character straddling byte 63 is left out whole.
    const std::string straddling = std::string(57, 'a') + "\xC3\xA9" + "tail";
    EXPECT_EQ(KLTProxyServiceName(straddling), rocket + std::string(57, 'a'));
    // A four-byte one likewise.
    const std::string emoji = std::string(56, 'a') + "\xF0\x9F\x98\x80";
    EXPECT_EQ(KLTProxyServiceName(emoji), rocket + std::string(56, 'a'));
}

TEST(ServiceRegistrarTable, URLBuilders) {
    EXPECT_EQ(KLTServiceRegistrar::URLStringWithPrefix("ssh", 1030, std::optional<std::string>()), "ssh://127.0.0.1:1030/");
    EXPECT_EQ(KLTServiceRegistrar::URLStringWithPrefix("ssh", 1030, std::optional<std::string>("")), "ssh://127.0.0.1:1030/");
    EXPECT_EQ(KLTServiceRegistrar::URLStringWithPrefix("ssh", 1030, std::optional<std::string>("ann")),
              "ssh://ann@127.0.0.1:1030/");
    EXPECT_EQ(KLTServiceRegistrar::URLStringWithPrefix("afp", std::string("nas.local")), "afp://nas.local/");
    EXPECT_EQ(KLTServiceRegistrar::URLStringWithPrefix("afp", std::string("nas.local"), 548), "afp://nas.local:548");
}

TEST(ListeningPortHolder, IdentityFromTheRecordAndTunnelEvents) {
    KLTNetService record("remote.", "_ssh._tcp", "Office", 22);
    record.setUuid("uuid-of-office");
    auto firstPeer = TunnexPeer::initUsingEncryption(false);
    auto holder = KLTListeningPortHolder::create(record, firstPeer, std::make_shared<TunnexRemotePeer>());
    EXPECT_EQ(holder->serviceKey(), "remote.~_ssh._tcp~Office");
    EXPECT_EQ(holder->hostUUID(), "uuid-of-office");
    EXPECT_EQ(holder->remotePort(), 22);
    EXPECT_FALSE(holder->multicastToAllInterfaces());
    EXPECT_FALSE(holder->hasRemoteService());

    auto laterPeer = TunnexPeer::initUsingEncryption(false);
    holder->tunnexPeerDidConnectWithRemotePeer(laterPeer, std::make_shared<TunnexRemotePeer>());
    EXPECT_TRUE(holder->hasRemoteService());
    holder->willEndRemoteService();
    EXPECT_FALSE(holder->hasRemoteService());
    EXPECT_EQ(holder->remotePeer(), nullptr);
    EXPECT_EQ(holder->peer(), laterPeer);

    EXPECT_EQ(KLTListeningPortHolder::create("remote.", "Office", "", "uuid", firstPeer, std::make_shared<TunnexRemotePeer>()),
              nullptr);
    EXPECT_NE(KLTListeningPortHolder::create("remote.", "Office", "_ssh._tcp", "uuid", firstPeer,
                                             std::make_shared<TunnexRemotePeer>()),
              nullptr);
}

}  // namespace
}  // namespace kl
