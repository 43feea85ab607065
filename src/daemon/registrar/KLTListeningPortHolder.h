// KLTListeningPortHolder: one remote service published on a local port. It ties the service's
// identity to the tunnel peer that forwards the port, the remote peer at the other end and the
// DNS-SD publication. The tunnel keeps it as the forward's service connector and reports the
// tunnel's events to it from its own threads, so every field is guarded.
#pragma once

#include <functional>
#include <memory>

#include "platform/GuardedFields.h"
#include "platform/dnssd/DnsSdPublisher.h"
#include "tunnel/peer/TunnexPeerDelegates.h"
#include "tunnel/manager/TunnexServiceConnector.h"

namespace kl {

class KLTDnsSdService;

class KLTListeningPortHolder : public TunnexServiceConnectorBase, public TunnexPeerDelegate, private GuardedFields {
public:
    // Identity and remote port from the record; the service key is that of its domain, type and name.
    static std::shared_ptr<KLTListeningPortHolder> create(const KLTDnsSdService& service,
                                                          std::shared_ptr<TunnexPeer> peer,
                                                          std::shared_ptr<TunnexRemotePeer> remotePeer);
    // Nothing when any of the six is missing.
    static std::shared_ptr<KLTListeningPortHolder> create(const std::string& domain, const std::string& name,
                                                          const std::string& type, const std::string& uuid,
                                                          std::shared_ptr<TunnexPeer> peer,
                                                          std::shared_ptr<TunnexRemotePeer> remotePeer);

    // TunnexServiceConnector
    void willEndRemoteService() override;
    std::shared_ptr<TunnexPeer> peer() const override { return get(peer_); }
    std::shared_ptr<TunnexRemotePeer> remotePeer() const override { return get(remotePeer_); }
    bool hasRemoteService() const override { return get(hasRemoteService_); }
    std::string serviceKey() const override { return get(serviceKey_); }
    void setServiceKey(std::string serviceKey) override { set(serviceKey_, std::move(serviceKey)); }
    std::string hostUUID() const override { return get(hostUUID_); }
    void setHostUUID(std::string hostUUID) override { set(hostUUID_, std::move(hostUUID)); }
    std::string domain() const override { return get(domain_); }
    void setDomain(std::string domain) override { set(domain_, std::move(domain)); }
    std::string type() const override { return get(type_); }
    void setType(std::string type) override { set(type_, std::move(type)); }
    std::string name() const override { return get(name_); }
    void setName(std::string name) override { set(name_, std::move(name)); }
    std::string serverID() const override { return get(serverID_); }
    void setServerID(std::string serverID) override { set(serverID_, std::move(serverID)); }
    uint16_t localPort() const override { return get(localPort_); }
    void setLocalPort(uint16_t port) override { set(localPort_, port); }
    uint16_t remotePort() const override { return get(remotePort_); }
    void setRemotePort(uint16_t port) override { set(remotePort_, port); }

    void setPeer(std::shared_ptr<TunnexPeer> peer) { set(peer_, std::move(peer)); }
    void setRemotePeer(std::shared_ptr<TunnexRemotePeer> remotePeer) { set(remotePeer_, std::move(remotePeer)); }
    void setHasRemoteService(bool has) { set(hasRemoteService_, has); }
    bool multicastToAllInterfaces() const { return get(multicastToAllInterfaces_); }
    void setMulticastToAllInterfaces(bool all) { set(multicastToAllInterfaces_, all); }
    // The DNS-SD publication; 0 when not published.
    DnsSdPublisher::Id dnsReference() const { return get(dnsReference_); }
    void setDnsReference(DnsSdPublisher::Id reference) { set(dnsReference_, reference); }
    std::string registeredName() const { return get(registeredName_); }
    void setRegisteredName(std::string name) { set(registeredName_, std::move(name)); }
    std::function<void()> completionBlock() const { return get(completionBlock_); }
    void setCompletionBlock(std::function<void()> block) { set(completionBlock_, std::move(block)); }

    // TunnexPeerDelegate
    void tunnexPeerDidConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                            const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    void tunnexPeerFailedToConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                                 const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    void tunnexPeerDisconnectedFromRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                              const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    void tunnexPeerPortForwardResult(const std::shared_ptr<TunnexPeer>& peer, const ForwardSuccessResult& result,
                                     const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;

private:
    KLTListeningPortHolder() = default;

    bool hasRemoteService_ = false;
    bool multicastToAllInterfaces_ = false;
    uint16_t localPort_ = 0;
    uint16_t remotePort_ = 0;
    std::shared_ptr<TunnexPeer> peer_;
    std::function<void()> completionBlock_;
    std::shared_ptr<TunnexRemotePeer> remotePeer_;
    DnsSdPublisher::Id dnsReference_ = 0;
    std::string registeredName_;
    std::string name_, type_, domain_, serviceKey_, hostUUID_, serverID_;
};

}  // namespace kl
