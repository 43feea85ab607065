#include "daemon/registrar/KLTListeningPortHolder.h"

#include "daemon/model/KLTBonjourServiceHelper.h"
#include "daemon/model/KLTDnsSdService.h"
#include "foundation/KLTLogging.h"

namespace kl {

std::shared_ptr<KLTListeningPortHolder> KLTListeningPortHolder::create(const KLTDnsSdService& service,
                                                                       std::shared_ptr<TunnexPeer> peer,
                                                                       std::shared_ptr<TunnexRemotePeer> remotePeer) {
    std::shared_ptr<KLTListeningPortHolder> holder(new KLTListeningPortHolder);
    holder->peer_ = std::move(peer);
    holder->remotePeer_ = std::move(remotePeer);
    holder->remotePort_ = uint16_t(service.port());
    holder->name_ = service.name();
    holder->type_ = service.type();
    holder->domain_ = service.domain();
    holder->serviceKey_ = KLTBonjourServiceHelper::serviceKeyForService(service).value_or("");
    holder->hostUUID_ = service.uuid();
    return holder;
}

std::shared_ptr<KLTListeningPortHolder> KLTListeningPortHolder::create(const std::string& domain, const std::string& name,
                                                                       const std::string& type, const std::string& uuid,
                                                                       std::shared_ptr<TunnexPeer> peer,
                                                                       std::shared_ptr<TunnexRemotePeer> remotePeer) {
    if (domain.empty() || name.empty() || type.empty() || uuid.empty() || !peer || !remotePeer) return nullptr;
    std::shared_ptr<KLTListeningPortHolder> holder(new KLTListeningPortHolder);
    holder->peer_ = std::move(peer);
    holder->remotePeer_ = std::move(remotePeer);
    holder->name_ = name;
    holder->type_ = type;
    holder->domain_ = domain;
    holder->serviceKey_ = *KLTBonjourServiceHelper::serviceKeyWithDomain(domain, type, name);
    holder->hostUUID_ = uuid;
    return holder;
}

void KLTListeningPortHolder::willEndRemoteService() {
    std::lock_guard lock(fieldsMutex());
    remotePeer_.reset();
    hasRemoteService_ = false;
}

void KLTListeningPortHolder::tunnexPeerDidConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                                                const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    KLLog(kKLTLoggingLevelDebug, "%s", "tunnexPeer:didConnectWithRemotePeer:");
    std::lock_guard lock(fieldsMutex());
    hasRemoteService_ = true;
    peer_ = peer;
    remotePeer_ = remotePeer;
}

void KLTListeningPortHolder::tunnexPeerFailedToConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                                                     const std::shared_ptr<TunnexRemotePeer>&) {
    KLLog(kKLTLoggingLevelDebug, "%s", "tunnexPeer:failedToConnectWithRemotePeer:");
}

void KLTListeningPortHolder::tunnexPeerDisconnectedFromRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                                                  const std::shared_ptr<TunnexRemotePeer>&) {
    KLLog(kKLTLoggingLevelDebug, "%s", "tunnexPeer:disconnectedFromRemotePeer:");
}

void KLTListeningPortHolder::tunnexPeerPortForwardResult(const std::shared_ptr<TunnexPeer>&, const ForwardSuccessResult&,
                                                         const std::shared_ptr<TunnexRemotePeer>&) {
    KLLog(kKLTLoggingLevelDebug, "%s", "tunnexPeer:portForwardResult:forRemotePeer:");
}

}  // namespace kl
