#include "tunnel/peer/TunnexHolePunchSupport.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexHolePunchCodec.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

TunnexResult<void> tunnexSendDatagram(KLNetSocket& socket, std::span<const uint8_t> bytes, const sockaddr_in& to) {
    // The destination's length follows from its family (16 for IPv4).
    sockaddr_storage destination{};
    std::memcpy(&destination, &to, sizeof to);
    if (socket.sendDatagram(bytes.data(), uint32_t(bytes.size()), destination, true)) return {};
    return TunnexError::system("sendto", errno);  // the socket logged the failure and left errno set
}

ssize_t tunnexReceiveDatagram(KLNetSocket& socket, std::span<uint8_t> buffer, sockaddr_in& source) {
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const ssize_t received = ::recvfrom(socket.sock(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0 || from.ss_family != AF_INET) return -1;
    std::memcpy(&source, &from, sizeof source);
    return received;
}

std::vector<uint8_t> tunnexWordBytes(uint16_t word) { return {uint8_t(word & 0xFF), uint8_t(word >> 8)}; }

std::vector<uint8_t> tunnexAcknowledgementBytes(const std::shared_ptr<TunnexContext>& context, int64_t transactionId,
                                                uint16_t type) {
    const std::string uuid = context->machineUUID();
    KLLog(kKLTLoggingLevelInfo, "building acknowledge message (%s) with local UUID: (%s)",
          tunnexAcknowledgementTypeName(type), TunnexDisplayableUUID(uuid).c_str());
    bool truncated = false;
    const TunnexAcknowledgement record = tunnexBuildAcknowledgement(transactionId, type, uuid, &truncated);
    if (truncated) KLLog(kKLTLoggingLevelError, "using UUID beyond protocol storage limit");
    return {record.begin(), record.end()};
}

bool tunnexIsOriginatorFor(const std::shared_ptr<TunnexContext>& context, int64_t transactionId) {
    auto manager = context->manager();
    return manager && manager->isOriginatorForTransactionId(transactionId);
}

sockaddr_in tunnexRemoteAddressOf(const std::shared_ptr<TunnexRemotePeer>& remote) {
    sockaddr_in address{};
    if (!remote) return address;
    const sockaddr_storage stored = remote->address();
    if (stored.ss_family == AF_INET) std::memcpy(&address, &stored, sizeof address);
    return address;
}

std::string tunnexSenderText(const sockaddr_in& address) { return AddressPortString(&address).value_or("(none)"); }

}  // namespace kl
