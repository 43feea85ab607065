// KLTNetService: this system's record of one service of an account host. It is never resolved or
// published; it carries the host's identity from the account server, and the tunnel reads it
// (as a TunnexServiceRecord) from its own threads, so every mutable field is guarded.
#pragma once

#include <sys/socket.h>

#include <mutex>
#include <vector>

#include "daemon/model/KLTDnsSdService.h"
#include "platform/GuardedFields.h"
#include "tunnel/manager/TunnexServiceRecord.h"

namespace kl {

class KLTNetService : public KLTDnsSdService, public TunnexServiceRecord, private GuardedFields {
public:
    // The name also becomes the host's configured name.
    KLTNetService(std::string domain, std::string type, std::string name, int port = -1);

    std::string type() const override { return KLTDnsSdService::type(); }
    std::string name() const override { return KLTDnsSdService::name(); }
    std::string serviceKey() const override { return KLTDnsSdService::serviceKey(); }

    // The nickname when it is not empty, else the configured name.
    std::string configuredName() const override;
    void setConfiguredName(std::string name) override { set(hostConfiguredName_, std::move(name)); }
    std::string nickname() const override { return get(hostNickname_); }
    void setNickname(std::string nickname) override { set(hostNickname_, std::move(nickname)); }
    std::string uuid() const override { return get(hostUUID_); }
    void setUuid(std::string uuid) override { set(hostUUID_, std::move(uuid)); }
    std::string hostUUID() const override { return uuid(); }
    std::string systemType() const override { return get(hostSystemType_); }
    void setSystemType(std::string systemType) override { set(hostSystemType_, std::move(systemType)); }
    std::string serverID() const override { return get(hostServerID_); }
    void setServerID(const Value& serverID) override;
    int32_t status() const override { return get(hostStatus_); }
    void setStatus(int32_t status) override { set(hostStatus_, std::move(status)); }
    std::shared_ptr<void> context() const override { return get(context_); }
    void setContext(std::shared_ptr<void> context) override { set(context_, std::move(context)); }

    bool markedForDeletion() const { return get(markedForDeletion_); }
    void setMarkedForDeletion(bool marked) { set(markedForDeletion_, std::move(marked)); }

    // Keeps a copy of the whole socket-address storage.
    void addDiscoveredAddress(const sockaddr_storage& address);
    std::vector<sockaddr_storage> addresses() const;

    // "<service> - nickname: <nickname> status: <status>, HostID: <server id>".
    std::string description() const override;

private:
    std::vector<sockaddr_storage> addresses_;
    bool markedForDeletion_ = false;
    int32_t hostStatus_ = 0;
    std::shared_ptr<void> context_;
    std::string hostServerID_;
    std::string hostConfiguredName_;
    std::string hostNickname_;
    std::string hostUUID_;
    std::string hostSystemType_;
};

}  // namespace kl
