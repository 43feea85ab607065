// libFuzzer target over everything that reads a datagram of a tunnel peer's socket: the classifier,
// the reply opener, the reply readers and the peer's dispatcher with its handshake state. Built by
// hand (tests/fuzz/build), not in CI.
//
// Input: the first byte picks the path, the rest is the datagram. Even: the bytes go to the
// dispatcher as they stand (mostly refused replies and hole-punch words). Odd: the bytes are sealed
// as a reply plaintext first, so that the reply handlers see arbitrary opened replies.
#include <arpa/inet.h>

#include <cstring>

#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/protocol/TunnexRendezvousCodec.h"

namespace {

using namespace kl;

// Takes every hand-over and does nothing, so the dispatcher's own state paths all run.
class NullLayer : public TunnexPeerConnectionLayer {
    void connectWithTransaction(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexTransaction>&) override {}
    void helloSocket(const std::shared_ptr<KLNetSocket>&, const std::shared_ptr<TunnexRemotePeer>&, const sockaddr_in&,
                     bool) override {}
    void confirmSocket(const std::shared_ptr<KLNetSocket>&, const std::shared_ptr<TunnexRemotePeer>&,
                       const sockaddr_in&) override {}
    void ahoySocket(const std::shared_ptr<KLNetSocket>&, const std::shared_ptr<TunnexTransaction>&) override {}
    void acknowledgeSocket(const std::shared_ptr<KLNetSocket>&, const std::shared_ptr<TunnexTransaction>&,
                           uint16_t) override {}
    void dispatchCompleteConnectionWithPeer(const std::shared_ptr<TunnexPeer>&,
                                            const std::shared_ptr<TunnexRemotePeer>&) override {}
    void cancelConnection(const std::shared_ptr<TunnexPeer>&, uint64_t) override {}
    TunnexResult<void> sendMainChannelMessage(const std::shared_ptr<TunnexPeer>&, const Bytes&) override { return {}; }
};

struct Harness {
    Harness() {
        setLoggingLevel(-1);
        setLogSink(LogSink::Memory);
        setTunnexPeerConnectionLayer(std::make_shared<NullLayer>());
        peer = TunnexPeer::init();
        peer->setPrivateKey(key);
        handoff = KLNetSocket::initWithFamily(AF_INET);
        peer->setHandoffSocket(handoff);
        peer->setStunPeer(std::make_shared<TunnexRemotePeer>());
        sender.sin_family = AF_INET;
        sender.sin_port = htons(4000);
        sender.sin_addr.s_addr = htonl(0xC0000201);
    }
    Bytes key = Bytes(16, 7);
    std::shared_ptr<TunnexPeer> peer;
    std::shared_ptr<KLNetSocket> handoff;
    sockaddr_in sender{};
    uint64_t nonce = 1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    if (size == 0) return 0;
    const bool seal = data[0] & 1;
    std::span<const uint8_t> bytes(data + 1, size - 1);

    classifyTunnexDatagram(bytes);
    tunnexReadPong(bytes);
    tunnexReadInvitation(bytes);
    tunnexReadErrorCode(bytes);
    TunnexReplyNonceGate gate;
    tunnexOpenReply(bytes, harness.key, gate);

    Bytes datagram(bytes.begin(), bytes.end());
    if (seal) {
        datagram = tunnexSealReply(harness.nonce++, harness.key, bytes).value();
        TunnexReplyNonceGate fresh;
        auto opened = tunnexOpenReply(datagram, harness.key, fresh);
        if (!opened || opened.plaintext != Bytes(bytes.begin(), bytes.end())) __builtin_trap();
        // The dispatcher's own gate must accept it too.
        TunnexPeer::resetServerNonce();
    }
    KLNetDatagram view{std::span<const uint8_t>(datagram.data(), datagram.size()), nullptr};
    harness.peer->datagramReceivedForSocketFromAddress(*harness.handoff, view,
                                                       reinterpret_cast<const sockaddr*>(&harness.sender),
                                                       sizeof harness.sender);
    // The handling runs on the peer's queue; the next input waits for it.
    harness.peer->queue().sync([&] {
        if (size % 7 == 0) harness.peer->setHandshakeConfirmed(false);  // reopen the confirm branch now and then
    });
    if (harness.handoff->cancel()) harness.handoff->setCancel(false);
    clearMemoryLog();
    return 0;
}

#ifdef KL_FUZZ_MAIN
// A plain main for fork-server fuzzers: one input file per run (or stdin).
#include <fstream>
#include <iostream>
#include <iterator>

int main(int argc, char** argv) {
    std::vector<char> input;
    if (argc > 1) {
        std::ifstream file(argv[1], std::ios::binary);
        input.assign(std::istreambuf_iterator<char>(file), {});
    } else {
        input.assign(std::istreambuf_iterator<char>(std::cin), {});
    }
    return LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}
#endif
